// The chunk record inside a decoded PIR record: its length prefix, and
// metadata nested too deep, refused at the first level too many without deep
// recursion and without building the tree, so peak memory barely moves.
#include "pir/padded_chunk_record.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/served_store.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using testing::outcome;

TEST(PaddedChunkRecord, LengthPrefixBoundaries) {
  EXPECT_EQ(outcome(decode_padded_chunk_record(std::vector<std::uint8_t>(3))),
            "format error: padded chunk record is shorter than the length prefix");
  const std::string json = R"({"record_id":0,"chunk_id":"c","document_id":"d","text":"t"})";
  auto record = testing::padded_record(json, 1024);
  EXPECT_EQ(decode_padded_chunk_record(record).value().chunk_id, "c");
  // 1020 + 4 = 1024 fits (the JSON then holds trailing whitespace); 1021 does not.
  std::fill(record.begin() + 4 + static_cast<std::ptrdiff_t>(json.size()), record.end(), ' ');
  record[0] = 0xFC;
  record[1] = 0x03;
  EXPECT_EQ(outcome(decode_padded_chunk_record(record)), "ok");
  record[0] = 0xFD;
  EXPECT_EQ(outcome(decode_padded_chunk_record(record)), "format error: chunk payload length 1021 exceeds record size 1024");
}

// What an error says of a record: the unchecked decode's texts, with the
// length and the position of a missing or repeated field; without them for a
// record that passed its digest check. Other faults of the JSON show nothing.
TEST(PaddedChunkRecord, ErrorsNameFieldsAndOnlyTheUncheckedDecodeGivesLengths) {
  const std::string prefix = "JSON error for chunk-record-payload: ";
  for (const auto& [json, size, with_lengths, without_lengths] :
       std::vector<std::tuple<std::string, std::size_t, std::string, std::string>>{
           {R"({"record_id":0,"chunk_id":"c","document_id":"d"})", 64, prefix + "missing field `text` at line 1 column 48",
            prefix + "missing field `text`"},
           {R"({"record_id":0,"chunk_id":"c","chunk_id":"e"})", 64, prefix + "duplicate field `chunk_id` at line 1 column 40",
            prefix + "duplicate field `chunk_id`"},
           {R"({"record_id":"secret","chunk_id":"c"})", 64, prefix + std::string(kNotAChunkRecord),
            prefix + std::string(kNotAChunkRecord)},
           {"", 8, prefix + std::string(kNotAChunkRecord), prefix + std::string(kNotAChunkRecord)},
           {std::string(70, ' '), 64, "format error: chunk payload length 70 exceeds record size 64",
            "format error: chunk payload length exceeds record size"}}) {
    std::vector<std::uint8_t> record = testing::padded_record(json, std::max(size, json.size() + 4));
    record.resize(size);
    EXPECT_EQ(outcome(decode_padded_chunk_record(record)), with_lengths) << json;
    EXPECT_EQ(outcome(decode_padded_chunk_record(record, RecordErrors::WithoutLengths)), without_lengths) << json;
  }
}

// The process's peak resident size in bytes (VmHWM).
std::uint64_t peak_resident_bytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

const std::string kHead = R"({"record_id":0,"chunk_id":"c","document_id":"d","text":"t","metadata":)";

TEST(PaddedChunkRecord, MetadataNestedAMillionLevelsIsRefusedAtTheDepthLimit) {
  constexpr std::size_t kDepth = 1'000'000;
  for (const bool closed : {false, true}) {
    std::string json = kHead + std::string(kDepth, '[');
    if (closed) json += std::string(kDepth, ']') + "}";
    const auto record = testing::padded_record(json, json.size() + 4);
    const std::uint64_t before = peak_resident_bytes();
    EXPECT_EQ(outcome(decode_padded_chunk_record(record)),
              "JSON error for chunk-record-payload: the decoded record does not hold a chunk record");
    EXPECT_LT(peak_resident_bytes() - before, std::uint64_t{100} << 20);
  }
}

}  // namespace
}  // namespace quorvex
