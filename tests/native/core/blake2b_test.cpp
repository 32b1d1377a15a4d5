#include "core/blake2b.hpp"

#include <gtest/gtest.h>

#include <ranges>
#include <string>
#include <vector>

#include "core/checksum.hpp"

namespace quorvex {
namespace {

constexpr Blake2bPerson kHashPerson = {'q', 'u', 'o', 'r', 'v', 'e', 'x', '-', 'h', 'a', 's', 'h', '-', 'v', '1', 0};
// 300 bytes, byte i = (7i + 3) mod 256.
const std::string kMessage = [] {
  std::string bytes(300, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + 3) % 256);
  return bytes;
}();
constexpr Blake2bPerson kOtherPerson = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

template <std::size_t Length>
std::string hex_of(std::string_view message, const Blake2bPerson& person) {
  return to_hex(blake2b<Length>(message, person));
}

// Digests from Python's hashlib.blake2b(message, digest_size=..., person=...): around the block size of 128
// bytes (the last block, full or not, is the one compressed as final), several blocks, every digest length
// the embedder and the standard use, and the abc example of RFC 7693 without personalisation.
TEST(Blake2b, MatchesKnownDigests) {
  const std::string_view message = kMessage;
  EXPECT_EQ(hex_of<8>(message.substr(0, 0), kHashPerson), "7f612e35acbc0563");
  EXPECT_EQ(hex_of<8>(message.substr(0, 1), kHashPerson), "29f75c6c770c7251");
  EXPECT_EQ(hex_of<8>(message.substr(0, 127), kHashPerson), "f33d7ba47b719798");
  EXPECT_EQ(hex_of<8>(message.substr(0, 128), kHashPerson), "5616fdd66b0d3263");
  EXPECT_EQ(hex_of<8>(message.substr(0, 129), kHashPerson), "f5f3fa732c0289ba");
  EXPECT_EQ(hex_of<32>(message.substr(0, 256), kHashPerson),
            "d2eea83b210682ed474afe1448a19d6c66e9f0348b1d2ab6799116ff48daf866");
  EXPECT_EQ(hex_of<64>(message, kOtherPerson),
            "566231dde3dd5d99749b04cb008c9b1dcf12fd2f8f92568f1d8b0ba13d89c20b"
            "7d3c8eec9fd8436dae01e8459f129f97be79b46ebcb311bb06c4ef845e0bea14");
  EXPECT_EQ(hex_of<64>("abc", Blake2bPerson{}),
            "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
            "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923");
}

// Hashed four side by side or one at a time, every message gets its own digest: groups of four with one left
// over, messages of every length up to two blocks (longer ones are hashed alone) in one batch.
TEST(Blake2b, SideBySideDigestsAreEachMessagesOwn) {
  std::vector<std::string_view> messages;
  for (std::size_t length = 0; length <= 257; ++length) messages.push_back(std::string_view(kMessage).substr(length % 7, length));
  const std::vector<std::uint64_t> values = blake2b_u64s(messages, kHashPerson);
  ASSERT_EQ(values.size(), messages.size());
  for (std::size_t k = 0; k < messages.size(); ++k) {
    std::uint64_t expected = 0;
    for (const std::uint8_t byte : blake2b<8>(messages[k], kHashPerson) | std::views::reverse) expected = expected << 8 | byte;
    EXPECT_EQ(values[k], expected) << messages[k].size();
  }
  EXPECT_EQ(blake2b_u64s(std::span(messages).first(1), kHashPerson), std::vector<std::uint64_t>{0x6305bcac352e617fU});
}

}  // namespace
}  // namespace quorvex
