#include "simplepir/chacha20_rng.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "simplepir/chacha20_block.hpp"

namespace quorvex {
namespace {

constexpr std::uint64_t k2To32 = std::uint64_t{1} << 32;

std::array<std::uint8_t, 32> test_seed() {
  std::array<std::uint8_t, 32> seed{};
  for (std::size_t k = 0; k < seed.size(); ++k) seed[k] = static_cast<std::uint8_t>(200 - 3 * k);
  return seed;
}

// The generator's stream as 32-bit words, from the portable block function.
std::vector<std::uint32_t> reference_words(const std::array<std::uint8_t, 32>& seed, std::uint64_t first_block,
                                           std::size_t blocks) {
  ChaCha20Key key;
  std::memcpy(key.data(), seed.data(), seed.size());
  std::vector<std::uint32_t> words;
  for (std::size_t b = 0; b < blocks; ++b) {
    const ChaCha20Block block = chacha20_block(key, first_block + b);
    words.insert(words.end(), block.begin(), block.end());
  }
  return words;
}

TEST(ChaCha20Rng, StartsAfterAnyNumberOfOutputs) {
  auto stream = ChaCha20Rng::seed_from_u64(42);
  std::vector<std::uint64_t> outputs(300);
  stream.fill_u64(outputs);
  for (const std::uint64_t skipped : {0u, 1u, 7u, 8u, 9u, 31u, 32u, 33u, 255u}) {
    auto rng = ChaCha20Rng::seed_from_u64_after(42, skipped);
    for (std::uint64_t k = skipped; k < skipped + 40; ++k) ASSERT_EQ(rng.next_u64(), outputs[k]) << skipped;
  }
}

TEST(ChaCha20Rng, SeedOneGivesTheSharedFirstOutputs) {
  auto rng = ChaCha20Rng::seed_from_u64(1);
  EXPECT_EQ(rng.next_u64(), 11413071731502626714u);
  EXPECT_EQ(rng.next_u64(), 2822430395410641094u);
  EXPECT_EQ(rng.next_u64(), 10085176492196300606u);
}

TEST(ChaCha20Rng, OutputIsTheKeystreamReadAsLittleEndianWords) {
  auto rng = ChaCha20Rng::from_seed(test_seed());
  const auto words = reference_words(test_seed(), 0, 12);
  for (std::size_t k = 0; k + 1 < words.size(); k += 2) {
    ASSERT_EQ(rng.next_u64(), words[k] | (std::uint64_t{words[k + 1]} << 32)) << "output " << k / 2;
  }
  EXPECT_EQ(rng.block_counter(), 12u);
}

TEST(ChaCha20Rng, ValueAtIndexSixtyThreeStraddlesTheRefill) {
  auto rng = ChaCha20Rng::from_seed(test_seed());
  const auto words = reference_words(test_seed(), 0, 8);
  for (int k = 0; k < 63; ++k) rng.next_u32();
  EXPECT_EQ(rng.next_u64(), words[63] | (std::uint64_t{words[64]} << 32));
  EXPECT_EQ(rng.next_u64(), words[65] | (std::uint64_t{words[66]} << 32));
  EXPECT_EQ(rng.next_u32(), words[67]);
}

// fill_u64 must equal repeated next_u64 from every position in the buffer,
// odd ones included, for lengths around the 32-value refill size.
class FillAtOffset : public ::testing::TestWithParam<int> {};

TEST_P(FillAtOffset, EqualsRepeatedNextU64) {
  const int offset = GetParam();
  for (std::size_t length : {0u, 1u, 2u, 31u, 32u, 33u, 63u, 64u, 65u, 100u, 517u}) {
    auto one_by_one = ChaCha20Rng::from_seed(test_seed());
    auto bulk = ChaCha20Rng::from_seed(test_seed());
    for (int k = 0; k < offset; ++k) {
      one_by_one.next_u32();
      bulk.next_u32();
    }
    std::vector<std::uint64_t> expected(length);
    for (auto& value : expected) value = one_by_one.next_u64();
    std::vector<std::uint64_t> actual(length);
    bulk.fill_u64(actual);
    ASSERT_EQ(actual, expected) << "length " << length;
    // The state afterwards is the same as well.
    ASSERT_EQ(bulk.next_u64(), one_by_one.next_u64()) << "length " << length;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryBufferPosition, FillAtOffset, ::testing::Range(0, 65));

TEST(ChaCha20Rng, StreamContinuesAcrossTheTwoTo32BlockBoundary) {
  const std::uint64_t start = k2To32 - 8;
  const auto words = reference_words(test_seed(), start, 24);
  auto rng = ChaCha20Rng::from_seed_at_block(test_seed(), start);
  std::vector<std::uint64_t> values(words.size() / 2 - 5);
  rng.fill_u64(values);
  for (std::size_t k = 0; k < values.size(); ++k) {
    ASSERT_EQ(values[k], words[2 * k] | (std::uint64_t{words[2 * k + 1]} << 32)) << "value " << k;
  }
  for (std::size_t k = values.size(); k < words.size() / 2; ++k) {
    ASSERT_EQ(rng.next_u64(), words[2 * k] | (std::uint64_t{words[2 * k + 1]} << 32)) << "value " << k;
  }
}

}  // namespace
}  // namespace quorvex
