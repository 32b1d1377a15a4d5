#include "pir/hint_cursor.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

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

std::size_t Cursor::read_u64s(std::span<std::uint64_t> out) {
  static_assert(std::endian::native == std::endian::little, "values are copied as little-endian words");
  const std::size_t count = std::min(out.size(), remaining() / 8);
  if (count != 0) std::memcpy(out.data(), bytes_.data() + position_, count * 8);
  position_ += count * 8;
  return count;
}

Status Cursor::finish() const {
  if (remaining() != 0) return format_error(concat(label_, " has ", remaining(), " trailing bytes"));
  return {};
}

}  // namespace quorvex
