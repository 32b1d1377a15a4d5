#include "simplepir/toy_public_matrix.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace quorvex {
namespace {

// Standard SplitMix64: the first output for a seed.
std::uint64_t splitmix64_first(std::uint64_t seed) {
  std::uint64_t z = seed + 0x9E3779B97F4A7C15;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
  return z ^ (z >> 31);
}

class ToyEntry : public ::testing::TestWithParam<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> {};

TEST_P(ToyEntry, SeedOneGivesTheSharedEntries) {
  const auto [i, j, expected] = GetParam();
  EXPECT_EQ(public_matrix_entry(1, i, j), expected);
}

INSTANTIATE_TEST_SUITE_P(Vectors, ToyEntry,
                         ::testing::Values(std::tuple{0u, 0u, 2298633409u}, std::tuple{0u, 1u, 1380781559u},
                                           std::tuple{1u, 0u, 3690365641u}));

TEST(ToyEntry, OriginIsTheLowHalfOfSplitMix64) {
  for (std::uint64_t seed : {1u, 2u, 0xDEADBEEFu}) {
    EXPECT_EQ(public_matrix_entry(seed, 0, 0), splitmix64_first(seed) & 0xFFFFFFFF);
  }
}

}  // namespace
}  // namespace quorvex
