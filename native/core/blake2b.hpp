// BLAKE2b (RFC 7693) without key or salt, with a personalisation: the hash
// that gives each feature of the hashing embedder its slot.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quorvex {

// The personalisation field of the parameter block: up to 16 bytes, zero-padded.
using Blake2bPerson = std::array<std::uint8_t, 16>;

// The 64 bytes of the final chaining value of the BLAKE2b whose parameter
// block names `digest_length` (1 to 64, checked by blake2b below) and `person`;
// the digest is its first `digest_length` bytes.
std::array<std::uint8_t, 64> blake2b_chain(std::string_view message, std::size_t digest_length,
                                           const Blake2bPerson& person);

// The digest of `DigestLength` bytes. The length is part of the parameter
// block, so a shorter digest is not a prefix of a longer one.
template <std::size_t DigestLength>
  requires(DigestLength >= 1 && DigestLength <= 64)
std::array<std::uint8_t, DigestLength> blake2b(std::string_view message, const Blake2bPerson& person) {
  const std::array<std::uint8_t, 64> chain = blake2b_chain(message, DigestLength, person);
  std::array<std::uint8_t, DigestLength> digest{};
  std::copy_n(chain.begin(), DigestLength, digest.begin());
  return digest;
}

// The 8-byte digests (blake2b<8>) of many messages, each read as a
// little-endian integer. Messages of one block (128 bytes) or less, the usual
// case, are hashed four side by side, with the widest vectors the processor has.
std::vector<std::uint64_t> blake2b_u64s(std::span<const std::string_view> messages, const Blake2bPerson& person);

}  // namespace quorvex
