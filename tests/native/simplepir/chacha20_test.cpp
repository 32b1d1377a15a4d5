// The ChaCha20 block function, its keystream and the generator built on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "simplepir/chacha20_block.hpp"
#include "simplepir/chacha20_keystream.hpp"
#include "simplepir/chacha20_rng.hpp"
#include "simplepir/word_public_matrix.hpp"

namespace quorvex {
namespace {

constexpr std::uint64_t k2To32 = std::uint64_t{1} << 32;

std::string hex(const ChaCha20Block& block) {
  std::string text;
  for (const std::uint32_t word : block) {
    for (int byte = 0; byte < 4; ++byte) {
      const unsigned value = (word >> (8 * byte)) & 0xFF;
      text += "0123456789abcdef"[value >> 4];
      text += "0123456789abcdef"[value & 15];
    }
  }
  return text;
}

// The vectors of RFC 8439, appendix A.1, whose nonce is zero; the counter's high half counts too.
TEST(ChaCha20Block, MatchesThePublishedKeystream) {
  for (const auto& [key, counter, keystream] : std::vector<std::tuple<ChaCha20Key, std::uint64_t, std::string>>{
           {{}, 0, "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
           {{}, 1, "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
           {{0xff00}, 2, "72d54dfbf12ec44b362692df94137f328fea8da73990265ec1bbbea1ae9af0ca13b25aa26cb4a648cb9b9d1be65b2c0924a66c54d545ec1b7374f4872e99f096"}}) {
    EXPECT_EQ(hex(chacha20_block(key, counter)), keystream);
  }
  EXPECT_NE(chacha20_block({}, k2To32), chacha20_block({}, 0));
}

std::array<std::uint8_t, 32> test_key(std::uint8_t salt) {
  std::array<std::uint8_t, 32> key{};
  for (std::size_t k = 0; k < key.size(); ++k) key[k] = static_cast<std::uint8_t>(k * 37 + salt);
  return key;
}

std::vector<std::byte> blocks(ChaCha20Keystream& keystream, std::uint64_t first, std::size_t count, bool portable) {
  std::vector<std::byte> out(count * ChaCha20Keystream::block_bytes);
  portable ? keystream.generate_portable(first, out) : keystream.generate(first, out);
  return out;
}

TEST(ChaCha20Keystream, OpenSslAndPortableAgree) {
  ChaCha20Keystream keystream(test_key(3));
  // From the start, unaligned, below, across and above the 2^32 block boundary, with the counter's high bits set.
  for (const auto& [first, count] : std::vector<std::pair<std::uint64_t, std::size_t>>{
           {0, 4099}, {12345, 77}, {k2To32 - 64, 64}, {k2To32 - 5, 11}, {k2To32 + 3, 9}, {0x123456789ABCDEF0, 6}}) {
    EXPECT_EQ(blocks(keystream, first, count, false), blocks(keystream, first, count, true)) << first;
  }
}

TEST(ChaCha20Rng, SeedOneGivesTheSharedFirstOutputs) {
  auto rng = ChaCha20Rng::seed_from_u64(1);
  EXPECT_EQ(rng.next_u64(), 11413071731502626714u);
  EXPECT_EQ(rng.next_u64(), 2822430395410641094u);
  EXPECT_EQ(rng.next_u64(), 10085176492196300606u);
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

// fill_u64 and repeated next_u64 both read the keystream's 32-bit words in pairs, low word first,
// from every position in the buffer, odd ones included (values straddling a refill), for lengths
// around the 32-value refill, and leave the same state.
TEST(ChaCha20Rng, FillAndNextU64ReadTheKeystreamInPairs) {
  std::vector<std::uint32_t> words(72 * 16);
  ChaCha20Keystream(test_key(7)).generate(0, std::as_writable_bytes(std::span(words)));
  const auto pair = [&](std::size_t at) { return words[at] | std::uint64_t{words[at + 1]} << 32; };
  for (std::size_t offset = 0; offset < 65; ++offset) {
    for (std::size_t length : {0u, 1u, 2u, 31u, 32u, 33u, 63u, 64u, 65u, 100u, 517u}) {
      auto one_by_one = ChaCha20Rng::from_seed(test_key(7));
      auto bulk = ChaCha20Rng::from_seed(test_key(7));
      for (std::size_t k = 0; k < offset; ++k) {
        one_by_one.next_u32();
        bulk.next_u32();
      }
      std::vector<std::uint64_t> expected(length), actual(length);
      for (std::size_t k = 0; k < length; ++k) {
        expected[k] = pair(offset + 2 * k);
        ASSERT_EQ(one_by_one.next_u64(), expected[k]) << "offset " << offset << ", value " << k;
      }
      bulk.fill_u64(actual);
      ASSERT_EQ(actual, expected) << "offset " << offset << ", length " << length;
      ASSERT_EQ(bulk.next_u64(), pair(offset + 2 * length)) << "offset " << offset << ", length " << length;
    }
  }
}

// Any run of rows of the word matrix, aligned to keystream blocks or not, is the keystream's words
// from first_row * width on.
TEST(WordPublicMatrix, RowsAreTheKeystreamWordsFromTheirOffset) {
  std::vector<std::uint32_t> words(64 * 16);
  ChaCha20Keystream(test_key(5)).generate(0, std::as_writable_bytes(std::span(words)));
  for (const std::uint64_t width : {1u, 3u, 16u, 20u}) {
    WordPublicMatrix matrix(test_key(5), width);
    for (const std::uint64_t first : {0u, 1u, 5u, 16u}) {
      for (const std::uint64_t count : {1u, 4u, 7u}) {
        std::vector<std::uint32_t> out(count * width);
        matrix.rows(first, out);
        ASSERT_TRUE(std::equal(out.begin(), out.end(), words.begin() + static_cast<std::ptrdiff_t>(first * width)))
            << "width " << width << ", rows " << first << " to " << first + count;
      }
    }
  }
}

}  // namespace
}  // namespace quorvex
