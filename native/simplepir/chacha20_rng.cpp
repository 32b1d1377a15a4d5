#include "simplepir/chacha20_rng.hpp"

#include <bit>

namespace quorvex {
namespace {

std::array<std::uint8_t, 32> pcg32_expand(std::uint64_t state) {
  constexpr std::uint64_t multiplier = 6364136223846793005ULL;
  constexpr std::uint64_t increment = 11634580027462260723ULL;
  std::array<std::uint8_t, 32> seed{};
  for (std::size_t word = 0; word < 8; ++word) {
    state = state * multiplier + increment;
    const auto xorshifted = static_cast<std::uint32_t>((state >> 45) ^ (state >> 27));
    const auto rotation = static_cast<int>(state >> 59);
    const std::uint32_t output = std::rotr(xorshifted, rotation);
    for (std::size_t byte = 0; byte < 4; ++byte) {
      seed[word * 4 + byte] = static_cast<std::uint8_t>(output >> (8 * byte));
    }
  }
  return seed;
}

}  // namespace

ChaCha20Rng::ChaCha20Rng(const std::array<std::uint8_t, 32>& seed, std::uint64_t block_counter)
    : keystream_(seed), counter_(block_counter) {}

ChaCha20Rng ChaCha20Rng::seed_from_u64(std::uint64_t seed) { return ChaCha20Rng(pcg32_expand(seed), 0); }

ChaCha20Rng ChaCha20Rng::seed_from_u64_after(std::uint64_t seed, std::uint64_t outputs) {
  constexpr std::uint64_t outputs_per_block = ChaCha20Keystream::block_bytes / 8;
  ChaCha20Rng rng(pcg32_expand(seed), outputs / outputs_per_block);
  for (std::uint64_t skipped = 0; skipped < outputs % outputs_per_block; ++skipped) rng.next_u64();
  return rng;
}

ChaCha20Rng ChaCha20Rng::from_seed(const std::array<std::uint8_t, 32>& seed) { return ChaCha20Rng(seed, 0); }

void ChaCha20Rng::refill() {
  keystream_.generate(counter_, std::as_writable_bytes(std::span(buffer_)));
  counter_ += blocks_per_refill;
  index_ = 0;
}

std::uint32_t ChaCha20Rng::next_u32() {
  if (index_ >= buffer_words) {
    refill();
  }
  return buffer_[index_++];
}

std::uint64_t ChaCha20Rng::next_u64() {
  if (index_ < buffer_words - 1) {
    const std::uint64_t value = buffer_[index_] | (std::uint64_t{buffer_[index_ + 1]} << 32);
    index_ += 2;
    return value;
  }
  if (index_ == buffer_words - 1) {
    // The value straddles a refill: low half from the old buffer, high half
    // from the new one.
    const std::uint64_t low = buffer_[index_];
    refill();
    index_ = 1;
    return low | (std::uint64_t{buffer_[0]} << 32);
  }
  refill();
  index_ = 2;
  return buffer_[0] | (std::uint64_t{buffer_[1]} << 32);
}

void ChaCha20Rng::fill_u64(std::span<std::uint64_t> out) {
  constexpr std::size_t values_per_refill = buffer_words / 2;
  constexpr std::size_t values_per_block = values_per_refill / blocks_per_refill;
  std::size_t pos = 0;
  // Drain the buffer. From an odd index every value straddles two words of the
  // buffer and the buffer never ends empty, so that (unused) position stays on
  // this path throughout.
  while (pos < out.size() && index_ != buffer_words) {
    out[pos++] = next_u64();
  }
  // With the buffer empty, the next values are the keystream from counter_ on;
  // whole refills go straight into the output.
  const std::size_t whole = (out.size() - pos) / values_per_refill * values_per_refill;
  if (whole > 0) {
    keystream_.generate(counter_, std::as_writable_bytes(out.subspan(pos, whole)));
    counter_ += whole / values_per_block;
    pos += whole;
  }
  while (pos < out.size()) {
    out[pos++] = next_u64();
  }
}

}  // namespace quorvex
