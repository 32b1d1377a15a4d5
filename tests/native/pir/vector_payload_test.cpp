#include "pir/vector_payload.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace quorvex {
namespace {

constexpr std::string_view kLabel = "PIR response";

std::vector<std::uint8_t> frame(std::string_view magic, std::uint64_t count, std::size_t element_bytes) {
  std::vector<std::uint8_t> bytes(magic.begin(), magic.end());
  for (int k = 0; k < 8; ++k) bytes.push_back(static_cast<std::uint8_t>(count >> (8 * k)));
  for (std::size_t k = 0; k < element_bytes; ++k) bytes.push_back(static_cast<std::uint8_t>(k));
  return bytes;
}

TEST(VectorPayload, WritesMagicCountAndElementsLittleEndian) {
  const std::vector<std::uint64_t> values{1, 0x0102030405060708, ~std::uint64_t{0}};
  const auto bytes = encode_vector_payload(kToyQueryMagic, values);
  ASSERT_EQ(bytes.size(), 16u + 8 * values.size());
  EXPECT_EQ(bytes[8], 3);
  EXPECT_EQ(bytes[16], 1);
  EXPECT_EQ(bytes[24], 0x08);
  EXPECT_EQ(bytes[31], 0x01);
  EXPECT_EQ(decode_vector_payload(kToyQueryMagic, bytes, 3, kLabel), values);
}

TEST(VectorPayload, EmptyVectorIsTheBareHeader) {
  const auto bytes = encode_vector_payload(kToyResponseMagic, {});
  EXPECT_EQ(bytes.size(), 16u);
  const auto decoded = decode_vector_payload(kToyResponseMagic, bytes, 0, kLabel);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(decoded->empty());
}

struct FramingCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  std::uint64_t expected_len;
  std::string message;
};

class VectorPayloadError : public ::testing::TestWithParam<FramingCase> {};

TEST_P(VectorPayloadError, ReportsTheFirstFailingCheck) {
  const auto decoded = decode_vector_payload(kToyResponseMagic, GetParam().bytes, GetParam().expected_len, kLabel);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().display(), "format error: " + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VectorPayloadError,
    ::testing::Values(
        FramingCase{"seven_bytes", {'Q', 'V', 'S', 'P', 'R', '0', '0'}, 0,
                    "PIR response has an unsupported SimplePIR magic header"},
        FramingCase{"wrong_magic", frame("QVSPQ001", 1, 8), 1, "PIR response has an unsupported SimplePIR magic header"},
        FramingCase{"count_mismatch_without_elements", frame("QVSPR001", 5, 0), 4,
                    "PIR response vector length 5 does not match expected 4"},
        FramingCase{"huge_count_matching", frame("QVSPR001", ~std::uint64_t{0}, 16), ~std::uint64_t{0},
                    "PIR response ended while reading PIR payload value"},
        FramingCase{"partial_element", frame("QVSPR001", 2, 15), 2, "PIR response ended while reading PIR payload value"},
        FramingCase{"surplus_element", frame("QVSPR001", 1, 16), 1, "PIR response has 8 trailing bytes"},
        FramingCase{"one_extra_byte", frame("QVSPR001", 0, 1), 0, "PIR response has 1 trailing bytes"}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(VectorPayload, HeaderCutShortAfterTheMagicEndsInTheLengthField) {
  for (std::size_t length = 8; length < 16; ++length) {
    auto bytes = frame("QVSPR001", 0, 0);
    bytes.resize(length);
    const auto decoded = decode_vector_payload(kToyResponseMagic, bytes, 0, "simplepir-rs PIR response");
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().display(),
              "format error: simplepir-rs PIR response ended while reading PIR payload vector length");
  }
}

}  // namespace
}  // namespace quorvex
