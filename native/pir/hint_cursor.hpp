// Cursor: reads little-endian unsigned 64-bit fields from a client hint held
// in memory, naming the missing field when the bytes run out.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "core/error.hpp"

namespace quorvex {

static_assert(std::endian::native == std::endian::little, "hint values are copied as little-endian words");

class Cursor {
 public:
  Cursor(std::span<const std::uint8_t> bytes, std::string_view label) : bytes_(bytes), label_(label) {}

  // Succeeds when the input starts with the 8-byte magic; the position moves past it.
  bool skip_magic(std::string_view magic);
  // "{label} ended while reading {field}" when fewer than 8 bytes remain.
  Result<std::uint64_t> read_u64(std::string_view field);
  // Reads as many little-endian values as fill `out` or as whole values
  // remain, whichever is fewer, and returns how many it read.
  template <class Word>
  std::size_t read_words(std::span<Word> out) {
    const std::size_t count = std::min(out.size(), remaining() / sizeof(Word));
    if (count != 0) std::memcpy(out.data(), bytes_.data() + position_, count * sizeof(Word));
    position_ += count * sizeof(Word);
    return count;
  }
  // Bytes not read yet.
  std::size_t remaining() const { return bytes_.size() - position_; }
  // "{label} has {count} trailing bytes" unless everything was read.
  Status finish() const;

 private:
  std::span<const std::uint8_t> bytes_;
  std::string_view label_;
  std::size_t position_ = 0;
};

// The label every client hint message uses.
inline constexpr std::string_view kClientHintLabel = "client_hint.bin";

// "{label} has {count} trailing bytes" unless count is 0.
Status require_no_trailing_bytes(std::string_view label, std::uint64_t count);

}  // namespace quorvex
