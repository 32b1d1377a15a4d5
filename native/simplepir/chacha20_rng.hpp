// The seeded ChaCha20 generator that fills the simplepir-rs public matrix. The
// server reproduces its output bit for bit: a key from a PCG32 expansion of a
// 64-bit seed, a 64-bit block counter, and a buffer of four blocks (64 words)
// refilled whenever it runs empty.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "simplepir/chacha20_keystream.hpp"

namespace quorvex {

class ChaCha20Rng {
 public:
  static constexpr std::size_t buffer_words = 64;
  static constexpr std::uint64_t blocks_per_refill = 4;

  // Key words k0..k7 are eight PCG32 outputs of the seed.
  static ChaCha20Rng seed_from_u64(std::uint64_t seed);
  // seed_from_u64(seed) after `outputs` calls of next_u64, reached without
  // computing the blocks before (each block holds eight 64-bit outputs).
  static ChaCha20Rng seed_from_u64_after(std::uint64_t seed, std::uint64_t outputs);
  // Key words are the seed's eight little-endian 32-bit words.
  static ChaCha20Rng from_seed(const std::array<std::uint8_t, 32>& seed);

  std::uint32_t next_u32();
  std::uint64_t next_u64();
  // Equal to calling next_u64 once per element, in order; whole refills are
  // written straight into `out`.
  void fill_u64(std::span<std::uint64_t> out);

 private:
  ChaCha20Rng(const std::array<std::uint8_t, 32>& seed, std::uint64_t block_counter);
  void refill();

  ChaCha20Keystream keystream_;
  std::uint64_t counter_;
  std::array<std::uint32_t, buffer_words> buffer_{};
  std::size_t index_ = buffer_words;  // buffer_words means empty
};

}  // namespace quorvex
