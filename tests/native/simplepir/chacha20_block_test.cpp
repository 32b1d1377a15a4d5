#include "simplepir/chacha20_block.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace quorvex {
namespace {

std::string hex(const ChaCha20Block& block) {
  unsigned char bytes[64];
  std::memcpy(bytes, block.data(), sizeof bytes);  // little-endian host
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 15]);
  }
  return text;
}

ChaCha20Key key_of(std::array<std::uint8_t, 32> bytes) {
  ChaCha20Key key;
  std::memcpy(key.data(), bytes.data(), bytes.size());
  return key;
}

struct Rfc8439Case {
  const char* name;
  std::array<std::uint8_t, 32> key;
  std::uint32_t counter;
  std::array<std::uint32_t, 3> nonce;
  const char* keystream;
};

class Rfc8439Block : public ::testing::TestWithParam<Rfc8439Case> {};

TEST_P(Rfc8439Block, MatchesThePublishedKeystream) {
  const auto& c = GetParam();
  EXPECT_EQ(hex(chacha20_block_rfc8439(key_of(c.key), c.counter, c.nonce)), c.keystream);
  if (c.nonce == std::array<std::uint32_t, 3>{}) {
    EXPECT_EQ(hex(chacha20_block(key_of(c.key), c.counter)), c.keystream);
  }
}

constexpr std::array<std::uint8_t, 32> sequential_key() {
  std::array<std::uint8_t, 32> key{};
  for (std::size_t k = 0; k < key.size(); ++k) key[k] = static_cast<std::uint8_t>(k);
  return key;
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Rfc8439Block,
    ::testing::Values(
        // Section 2.3.2: nonce 00:00:00:09:00:00:00:4a:00:00:00:00.
        Rfc8439Case{"section_2_3_2", sequential_key(), 1, {0x09000000, 0x4a000000, 0},
                    "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
                    "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
        Rfc8439Case{"a1_1_zero_key_block_0", {}, 0, {},
                    "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
                    "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
        Rfc8439Case{"a1_2_zero_key_block_1", {}, 1, {},
                    "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
                    "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
        Rfc8439Case{"a1_4_key_00ff_block_2", {0x00, 0xff}, 2, {},
                    "72d54dfbf12ec44b362692df94137f328fea8da73990265ec1bbbea1ae9af0ca"
                    "13b25aa26cb4a648cb9b9d1be65b2c0924a66c54d545ec1b7374f4872e99f096"}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(ChaCha20Block, CounterHighHalfIsWordThirteen) {
  const ChaCha20Key key = key_of(sequential_key());
  const std::uint64_t counter = (std::uint64_t{7} << 32) | 5;
  EXPECT_EQ(chacha20_block(key, counter), chacha20_block_rfc8439(key, 5, {7, 0, 0}));
}

}  // namespace
}  // namespace quorvex
