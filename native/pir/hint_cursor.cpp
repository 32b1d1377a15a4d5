#include "pir/hint_cursor.hpp"

#include "core/text.hpp"

namespace quorvex {

bool Cursor::skip_magic(std::string_view magic) {
  if (bytes_.size() < magic.size() || !std::equal(magic.begin(), magic.end(), bytes_.begin())) return false;
  position_ = magic.size();
  return true;
}

Result<std::uint64_t> Cursor::read_u64(std::string_view field) {
  if (remaining() < 8) return format_error(concat(label_, " ended while reading ", field));
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes_[position_ + static_cast<std::size_t>(i)];
  position_ += 8;
  return value;
}

Status Cursor::finish() const { return require_no_trailing_bytes(label_, remaining()); }

Status require_no_trailing_bytes(std::string_view label, std::uint64_t count) {
  if (count != 0) return format_error(concat(label, " has ", count, " trailing bytes"));
  return {};
}

}  // namespace quorvex
