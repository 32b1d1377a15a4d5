#include "simplepir/chacha20_keystream.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace quorvex {
namespace {

constexpr std::uint64_t k2To32 = std::uint64_t{1} << 32;

std::array<std::uint8_t, 32> test_key(std::uint8_t salt) {
  std::array<std::uint8_t, 32> key{};
  for (std::size_t k = 0; k < key.size(); ++k) key[k] = static_cast<std::uint8_t>(k * 37 + salt);
  return key;
}

std::vector<std::byte> blocks_from(ChaCha20Keystream& keystream, std::uint64_t first, std::size_t count,
                                   bool portable) {
  std::vector<std::byte> out(count * ChaCha20Keystream::block_bytes);
  if (portable) {
    keystream.generate_portable(first, out);
  } else {
    keystream.generate(first, out);
  }
  return out;
}

struct Span {
  const char* name;
  std::uint64_t first_block;
  std::size_t blocks;
};

class KeystreamPaths : public ::testing::TestWithParam<Span> {};

TEST_P(KeystreamPaths, OpenSslAndPortableAgree) {
  ChaCha20Keystream keystream(test_key(3));
  const auto& span = GetParam();
  EXPECT_EQ(blocks_from(keystream, span.first_block, span.blocks, false),
            blocks_from(keystream, span.first_block, span.blocks, true));
}

INSTANTIATE_TEST_SUITE_P(Ranges, KeystreamPaths,
                         ::testing::Values(Span{"start", 0, 4099}, Span{"unaligned", 12345, 77},
                                           Span{"below_boundary", k2To32 - 64, 64},
                                           Span{"across_boundary", k2To32 - 5, 11},
                                           Span{"above_boundary", k2To32 + 3, 9},
                                           Span{"counter_high_bits", 0x123456789ABCDEF0, 6}),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(ChaCha20Keystream, SuccessiveRequestsContinueOrRestartTheStream) {
  ChaCha20Keystream pieces(test_key(9));
  ChaCha20Keystream reference(test_key(9));
  const auto whole = blocks_from(reference, k2To32 - 12, 20, true);
  // Continue, skip back, jump over the boundary: the context must follow.
  std::vector<std::byte> joined;
  for (auto [first, count] : {std::pair{k2To32 - 12, 3}, {k2To32 - 9, 5}, {k2To32 - 4, 8}, {k2To32 + 4, 4}}) {
    const auto part = blocks_from(pieces, first, static_cast<std::size_t>(count), false);
    joined.insert(joined.end(), part.begin(), part.end());
  }
  EXPECT_EQ(joined, whole);
  EXPECT_EQ(blocks_from(pieces, 0, 2, false), blocks_from(reference, 0, 2, true));
}

TEST(ChaCha20Keystream, PartialBlocksAreAnInternalFault) {
  ChaCha20Keystream keystream(test_key(1));
  std::vector<std::byte> out(65);
  EXPECT_THROW(keystream.generate(0, out), std::logic_error);
}

}  // namespace
}  // namespace quorvex
