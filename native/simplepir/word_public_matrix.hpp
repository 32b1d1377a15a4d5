// The public matrix of the balanced scheme, shared with the server: a matrix
// of 32-bit words whose entry (i, j), for a matrix `width` words wide, is
// word i * width + j (little-endian) of the ChaCha20 keystream of a 32-byte
// key with a zero nonce. Any block of rows can be generated on its own.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "simplepir/chacha20_keystream.hpp"

namespace quorvex {

class WordPublicMatrix {
 public:
  WordPublicMatrix(const std::array<std::uint8_t, 32>& key, std::uint64_t width) : keystream_(key), width_(width) {}

  // Writes rows first_row, first_row + 1, ... into out (a whole number of rows).
  void rows(std::uint64_t first_row, std::span<std::uint32_t> out);

  std::uint64_t width() const { return width_; }

 private:
  ChaCha20Keystream keystream_;
  std::uint64_t width_;
};

}  // namespace quorvex
