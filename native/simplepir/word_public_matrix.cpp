#include "simplepir/word_public_matrix.hpp"

#include <bit>
#include <cstring>
#include <vector>

namespace quorvex {

static_assert(std::endian::native == std::endian::little, "keystream bytes are read in place as words");

void WordPublicMatrix::rows(std::uint64_t first_row, std::span<std::uint32_t> out) {
  constexpr std::uint64_t kBlock = ChaCha20Keystream::block_bytes;
  const std::uint64_t first_byte = first_row * width_ * 4;
  const std::uint64_t skip = first_byte % kBlock;
  const std::uint64_t length = out.size_bytes();
  if (skip == 0 && length % kBlock == 0) {  // rows of whole blocks (the balanced width): written in place
    keystream_.generate(first_byte / kBlock, std::as_writable_bytes(out));
    return;
  }
  std::vector<std::byte> blocks((skip + length + kBlock - 1) / kBlock * kBlock);
  keystream_.generate(first_byte / kBlock, blocks);
  std::memcpy(out.data(), blocks.data() + skip, length);
}

}  // namespace quorvex
