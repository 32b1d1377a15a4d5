// A decrypted chunk record whose metadata nests a million levels deep: a JSON
// error at the first level too many, without deep recursion and without
// building the tree, so the process's peak memory barely moves.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "core/text.hpp"
#include "pir/padded_chunk_record.hpp"
#include "support/reference_server.hpp"

namespace quorvex {
namespace {

constexpr std::size_t kDepth = 1'000'000;

// The process's peak resident size in bytes (VmHWM).
std::uint64_t peak_resident_bytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

class DeepChunkRecord : public ::testing::TestWithParam<bool> {};

TEST_P(DeepChunkRecord, IsRefusedAtTheDepthLimit) {
  const bool closed = GetParam();
  const std::string head = R"({"record_id":0,"chunk_id":"c","document_id":"d","text":"t","metadata":)";
  std::string json = head + std::string(kDepth, '[');
  if (closed) json += std::string(kDepth, ']') + "}";
  const auto record = testing::padded_record(json, json.size() + 4);
  const std::uint64_t before = peak_resident_bytes();
  const auto decoded = decode_padded_chunk_record(record);
  const std::uint64_t after = peak_resident_bytes();
  ASSERT_FALSE(decoded.has_value());
  // The record object is level 1; the 128th bracket would open level 129.
  EXPECT_EQ(decoded.error().display(), concat("JSON error for chunk-record-payload: recursion limit exceeded at line 1 column ",
                                              head.size() + 128));
  RecordProperty("peak_growth_bytes", std::to_string(after - before));
  EXPECT_LT(after - before, std::uint64_t{100} << 20);
}

INSTANTIATE_TEST_SUITE_P(Closing, DeepChunkRecord, ::testing::Bool(),
                         [](const auto& test_case) { return test_case.param ? "closed" : "unclosed"; });

TEST(DeepChunkRecord, DeepestAllowedMetadataDecodesAndIsDestroyed) {
  const std::string head = R"({"record_id":0,"chunk_id":"c","document_id":"d","text":"t","metadata":)";
  const std::string json = head + std::string(127, '[') + std::string(127, ']') + "}";
  auto decoded = decode_padded_chunk_record(testing::padded_record(json, json.size() + 4));
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  const nlohmann::json* inner = &decoded->metadata;
  std::size_t depth = 0;
  while (inner->is_array() && !inner->empty()) {
    inner = &inner->front();
    ++depth;
  }
  EXPECT_EQ(depth, 126u);  // 127 arrays, the innermost empty
}

}  // namespace
}  // namespace quorvex
