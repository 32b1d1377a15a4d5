// The ChaCha20 block function (20 rounds, final addition of the input state)
// with a 64-bit block counter in words 12 and 13 and a zero stream number in
// words 14 and 15. For counters below 2^32 this is the block of RFC 8439 with
// an all-zero nonce.
#pragma once

#include <array>
#include <cstdint>

namespace quorvex {

using ChaCha20Key = std::array<std::uint32_t, 8>;
using ChaCha20Block = std::array<std::uint32_t, 16>;

// The 16 output words of block `counter`.
ChaCha20Block chacha20_block(const ChaCha20Key& key, std::uint64_t counter);

}  // namespace quorvex
