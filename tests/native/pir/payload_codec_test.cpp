#include "pir/payload_codec.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quorvex {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

struct EncodeCase {
  std::vector<std::uint8_t> bytes;
  std::string text;
};

class PayloadEncode : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(PayloadEncode, WritesTheDigitFreeTextAndReadsItBack) {
  EXPECT_EQ(payload_codec::encode(GetParam().bytes), GetParam().text);
  EXPECT_EQ(payload_codec::decode(GetParam().text), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Vectors, PayloadEncode,
                         ::testing::Values(EncodeCase{{}, ""}, EncodeCase{bytes_of("abc"), "YWJj"},
                                           EncodeCase{bytes_of("a"), "YQ"}, EncodeCase{bytes_of("ab"), "YWI"},
                                           EncodeCase{{0xFF, 0xFE, 0xFD}, "}})]"},
                                           EncodeCase{{0x00, 0x00, 0x00, 0xFF}, "AAAA}w"}));

TEST(PayloadCodec, RoundTripsEveryLengthAndByte) {
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

TEST(PayloadCodec, EveryAlphabetCharacterDecodesToItsValue) {
  // Four characters carry 24 bits; put each value in the last position.
  for (std::size_t value = 0; value < 64; ++value) {
    const std::string text = std::string("AAA") + payload_codec::kAlphabet[value];
    const auto bytes = payload_codec::decode(text);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ((*bytes)[2], value);
  }
}

TEST(PayloadCodec, SpareLowBitsOfTheLastCharacterAreIgnored) {
  EXPECT_EQ(payload_codec::decode("YQ"), bytes_of("a"));
  EXPECT_EQ(payload_codec::decode("YR"), bytes_of("a"));
  EXPECT_EQ(payload_codec::decode("YWL"), bytes_of("ab"));
}

struct DecodeErrorCase {
  const char* name;
  std::string text;
  std::string message;
};

class PayloadDecodeError : public ::testing::TestWithParam<DecodeErrorCase> {};

TEST_P(PayloadDecodeError, ReportsTheFirstFault) {
  const auto decoded = payload_codec::decode(GetParam().text);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PayloadDecodeError,
    ::testing::Values(DecodeErrorCase{"length_1", "Y", "invalid payload length"},
                      DecodeErrorCase{"length_1_bad_character", "=", "invalid payload length"},
                      DecodeErrorCase{"length_5", "YWJj=", "invalid payload length"},
                      DecodeErrorCase{"padding", "YQ==", "invalid payload character ="},
                      DecodeErrorCase{"digit", "YWJjYW1j", "invalid payload character 1"},
                      DecodeErrorCase{"first_of_several", "YW+/", "invalid payload character +"},
                      DecodeErrorCase{"in_tail", "YWJjY/", "invalid payload character /"},
                      DecodeErrorCase{"multibyte_shown_by_first_byte", "\xC3\xA9", "invalid payload character \xC3\x83"},
                      DecodeErrorCase{"high_byte", "AAA\xFF", "invalid payload character \xC3\xBF"},
                      DecodeErrorCase{"nul", std::string("AA\0A", 4), std::string("invalid payload character \0", 27)}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace quorvex
