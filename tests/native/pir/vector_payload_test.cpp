#include "pir/vector_payload.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

std::vector<std::uint8_t> frame(std::string_view magic, std::uint64_t count, std::size_t element_bytes) {
  std::vector<std::uint8_t> bytes(magic.begin(), magic.end());
  for (int k = 0; k < 8; ++k) bytes.push_back(static_cast<std::uint8_t>(count >> (8 * k)));
  for (std::size_t k = 0; k < element_bytes; ++k) bytes.push_back(static_cast<std::uint8_t>(k));
  return bytes;
}

TEST(VectorPayload, WritesMagicCountAndElementsLittleEndian) {
  const std::vector<std::uint64_t> values{1, 0x0102030405060708, ~std::uint64_t{0}};
  const auto bytes = encode_vector_payload(kToyQueryMagic, values);
  std::vector<std::uint8_t> expected = frame("QVSPQ001", 3, 0);
  expected.insert(expected.end(), {1, 0, 0, 0, 0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 255, 255, 255, 255, 255, 255, 255, 255});
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(decode_vector_payload(kToyQueryMagic, bytes, 3, "q"), values);
  EXPECT_TRUE(decode_vector_payload(kToyResponseMagic, encode_vector_payload(kToyResponseMagic, std::span<const std::uint64_t>()), 0, "q").value().empty());
}

TEST(VectorPayload, ReportsTheFirstFailingCheck) {
  const std::uint64_t all = ~std::uint64_t{0};
  const std::string ended = "PIR response ended while reading PIR payload ";
  for (auto [bytes, expected_len, message] : std::vector<std::tuple<std::vector<std::uint8_t>, std::uint64_t, std::string>>{
           {{'Q', 'V', 'S', 'P', 'R', '0', '0'}, 0, "PIR response has an unsupported SimplePIR magic header"},
           {frame("QVSPQ001", 1, 8), 1, "PIR response has an unsupported SimplePIR magic header"},
           {frame("QVSPR001", 5, 0), 4, "PIR response vector length 5 does not match expected 4"},
           {frame("QVSPR001", all, 16), all, ended + "value"},
           {frame("QVSPR001", 2, 15), 2, ended + "value"},
           {frame("QVSPR001", 1, 16), 1, "PIR response has 8 trailing bytes"},
           {frame("QVSPR001", 0, 1), 0, "PIR response has 1 trailing bytes"},
           {frame("QVSPR001", 0, 0), 0, ended + "vector length"}}) {
    // The last case: a header cut short after the magic, at 8 and at 15 bytes.
    for (const std::size_t cut : message.ends_with("vector length") ? std::vector<std::size_t>{8, 15} : std::vector<std::size_t>{bytes.size()}) {
      bytes.resize(cut);
      EXPECT_EQ(testing::outcome(decode_vector_payload(kToyResponseMagic, bytes, expected_len, "PIR response")),
                "format error: " + message);
    }
  }
}

}  // namespace
}  // namespace quorvex
