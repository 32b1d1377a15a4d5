#include "pir/payload_codec.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quorvex {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

TEST(PayloadCodec, KnownTextsAndSpareLowBits) {
  for (const auto& [bytes, text] : std::vector<std::pair<std::vector<std::uint8_t>, std::string>>{
           {{}, ""}, {bytes_of("abc"), "YWJj"}, {bytes_of("a"), "YQ"}, {bytes_of("ab"), "YWI"},
           {{0xFF, 0xFE, 0xFD}, "}})]"}, {{0x00, 0x00, 0x00, 0xFF}, "AAAA}w"}}) {
    EXPECT_EQ(payload_codec::encode(bytes), text);
    EXPECT_EQ(payload_codec::decode(text), bytes);
  }
  // The spare low bits of the last character are ignored.
  EXPECT_EQ(payload_codec::decode("YR"), bytes_of("a"));
  EXPECT_EQ(payload_codec::decode("YWL"), bytes_of("ab"));
  // Four characters carry 24 bits; each value in the last position.
  for (std::size_t value = 0; value < 64; ++value) {
    EXPECT_EQ(payload_codec::decode(std::string("AAA") + payload_codec::kAlphabet[value]).value()[2], value);
  }
}

TEST(PayloadCodec, RoundTripsEveryLengthWithoutDigitsOrPadding) {
  std::mt19937_64 random(17);
  for (std::size_t length = 0; length < 300; ++length) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    const std::string text = payload_codec::encode(bytes);
    ASSERT_EQ(text.size(), length / 3 * 4 + (length % 3 == 0 ? 0 : length % 3 + 1));
    ASSERT_EQ(text.find_first_of("0123456789=+/\"\\"), std::string::npos);
    ASSERT_EQ(payload_codec::decode(text), bytes) << "length " << length;
  }
}

TEST(PayloadCodec, DecodeReportsTheFirstFault) {
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"Y", "invalid payload length"},
           {"=", "invalid payload length"},
           {"YWJj=", "invalid payload length"},
           {"YQ==", "invalid payload character ="},
           {"YWJjYW1j", "invalid payload character 1"},
           {"YW+/", "invalid payload character +"},
           {"YWJjY/", "invalid payload character /"},
           {"\xC3\xA9", "invalid payload character \xC3\x83"},  // a multibyte character shown by its first byte
           {"AAA\xFF", "invalid payload character \xC3\xBF"},
           {std::string("AA\0A", 4), std::string("invalid payload character \0", 27)}}) {
    EXPECT_EQ(payload_codec::decode(text).error(), message) << text;
  }
}

}  // namespace
}  // namespace quorvex
