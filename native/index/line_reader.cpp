#include "index/line_reader.hpp"

#include <cstring>
#include <span>

#include "core/text.hpp"

namespace quorvex {

Result<std::optional<std::string>> LineReader::next() {
  std::string line;
  bool started = false;
  bool ended_by_line_feed = false;
  while (!ended_by_line_feed) {
    if (begin_ == end_) {
      end_ = QV_TRY(file_.read_some(buffer_));
      begin_ = 0;
      if (end_ == 0) break;
    }
    started = true;
    const char* first = buffer_.data() + begin_;
    const std::size_t available = end_ - begin_;
    const char* line_feed = static_cast<const char*>(std::memchr(first, '\n', available));
    const std::size_t taken = line_feed ? static_cast<std::size_t>(line_feed - first) : available;
    line.append(first, taken);
    begin_ += taken;
    if (line_feed) {
      ++begin_;
      ended_by_line_feed = true;
    }
  }
  if (!started) return std::nullopt;
  if (ended_by_line_feed && !line.empty() && line.back() == '\r') line.pop_back();
  if (!is_valid_utf8(line)) return std::unexpected(QuorvexError::io(file_.path(), IoSource::invalid_utf8()));
  return line;
}

}  // namespace quorvex
