#include "index/line_reader.hpp"

#include <cstring>
#include <span>

#include "core/text.hpp"

namespace quorvex {

Result<std::optional<std::string_view>> LineReader::next() {
  spilled_.clear();
  bool started = false;
  while (true) {
    if (begin_ == end_) {
      end_ = QV_TRY(file_.read_some(buffer_));
      begin_ = 0;
      if (end_ == 0) break;
    }
    started = true;
    const char* first = buffer_.data() + begin_;
    const std::size_t available = end_ - begin_;
    const char* line_feed = static_cast<const char*>(std::memchr(first, '\n', available));
    if (line_feed == nullptr) {
      spilled_.append(first, available);
      begin_ = end_;
      continue;
    }
    const std::size_t taken = static_cast<std::size_t>(line_feed - first);
    begin_ += taken + 1;
    if (spilled_.empty()) return finish(std::string_view(first, taken), true);
    spilled_.append(first, taken);
    return finish(spilled_, true);
  }
  if (!started) return std::nullopt;
  return finish(spilled_, false);
}

Result<std::optional<std::string_view>> LineReader::finish(std::string_view line, bool ended_by_line_feed) const {
  if (ended_by_line_feed && line.ends_with('\r')) line.remove_suffix(1);
  if (!is_valid_utf8(line)) return std::unexpected(QuorvexError::io(file_.path(), IoSource::invalid_utf8()));
  return line;
}

}  // namespace quorvex
