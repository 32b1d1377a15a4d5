// The four index files: the configuration against the manifest, each file's
// own format, and the tables against each other.
#include "index/index_reader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "core/json_decode.hpp"
#include "core/text.hpp"
#include "index/line_reader.hpp"
#include "index/metadata_line.hpp"
#include "support/index_files.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using testing::encode_ids;
using testing::encode_vectors;
using testing::metadata_record;
using testing::Rows;

using testing::outcome;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::uint64_t kHugeCount = std::uint64_t{1} << 40;
const Rows kRows{{1.0f, 2.0f}, {-3.0f, 0.5f}, {0.0f, 0.0f}};

TEST(IndexConfig, RulesInOrder) {
  for (const auto& [breaks, error] : std::vector<std::pair<std::function<void(IndexConfig&, BundleManifest&)>, std::string>>{
        {[](auto&, auto&) {}, "ok"},
        {[](auto& c, auto&) { c.index_format = "quorvex-index-v1"; }, "format error: unsupported index format: quorvex-index-v1"},
        {[](auto& c, auto&) { c.distance_metric = "cosine"; }, "format error: unsupported distance metric: cosine"},
        {[](auto& c, auto&) { c.embedding_model = " \t\u3000"; }, "format error: index embedding_model cannot be empty"},
        {[](auto& c, auto&) { c.embedding_dimensions = c.vector_count = 0; },
         "format error: index embedding_dimensions must be greater than zero"},
        {[](auto& c, auto&) { c.vector_count = 0; }, "format error: index vector_count must be greater than zero"},
        {[](auto& c, auto&) { c.embedding_model = "Hashing-384-v1", c.vector_count = 5; },
         "format error: index embedding model Hashing-384-v1 does not match manifest hashing-384-v1"},
        {[](auto& c, auto&) { c.embedding_dimensions = 383, c.vector_count = 5; },
         "format error: index dimensions 383 do not match manifest 384"},
        {[](auto&, auto& m) { m.chunk_count = 999; },
         "format error: index vector count 1000 does not match manifest chunk count 999"}}) {
    auto config = read_json<IndexConfig>(testing::index_config_json("hashing-384-v1", 384, 1000).dump()).value();
    auto manifest = read_json<BundleManifest>(testing::supported_manifest_json().dump()).value();
    breaks(config, manifest);
    EXPECT_EQ(outcome(config.validate_against_manifest(manifest)), error);
  }
}

// A valid index of kRows in {root} (a temporary "index" directory); tests overwrite single files.
class IndexFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    write("index.config.json", testing::index_config_json("model", 2, 3).dump());
    write("vectors.bin", encode_vectors(kRows));
    write("ids.bin", encode_ids({0, 1, 2}));
    write("metadata.jsonl", testing::metadata_jsonl({metadata_record(0), metadata_record(1), metadata_record(2)}));
  }
  void write(std::string_view name, std::string_view contents) const { dir_.write(concat("index/", name), contents); }
  std::filesystem::path root() const { return dir_.path() / "index"; }
  IndexReader reader() const { return IndexReader(root()); }

  testing::TempDir dir_;
};

TEST_F(IndexFiles, LoadsConsistentTables) {
  const IndexTables tables = reader().load().value();
  EXPECT_EQ(tables.config.embedding_model, "model");
  ASSERT_EQ(tables.vectors.row_count(), 3u);
  for (std::size_t r = 0; r < kRows.size(); ++r) EXPECT_EQ(tables.vectors.row(r), kRows[r]);
  EXPECT_EQ(tables.ids, (std::vector<std::uint64_t>{0, 1, 2}));
  ASSERT_EQ(tables.metadata.size(), 3u);
  EXPECT_EQ(tables.metadata[1].chunk_id, "chunk-1");
  EXPECT_EQ(tables.metadata[1].metadata["record"], 1);
}

// Blank lines are skipped, CRLF and an unterminated last line accepted, and a
// line longer than the read buffer read whole.
TEST_F(IndexFiles, MetadataLines) {
  auto record = metadata_record(1);
  record["chunk_id"] = std::string(3 * LineReader::kBufferBytes + 17, 'x');
  write("metadata.jsonl", concat("\n", metadata_record(0).dump(), "\r\n \t\r\n\r\n", record.dump(), "\n\n",
                                 metadata_record(2).dump()));
  const auto records = reader().read_metadata().value();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].chunk_id.size(), 3 * LineReader::kBufferBytes + 17u);
  EXPECT_EQ(records[2].chunk_id, "chunk-2");
}

// Rows are stored whole blocks at a time where the pieces read hold them, row by
// row otherwise (blocks wider than a piece, the last short block): every value
// lands in its place, and a non-finite one is found wherever it lies.
TEST_F(IndexFiles, VectorsOfEveryShapeAreStoredAsWritten) {
  for (const auto& [dimensions, count] : std::vector<std::pair<std::size_t, std::size_t>>{
           {1, 1}, {2, 3}, {5, 17}, {384, 41}, {3000, 9}, {17, 8}}) {
    Rows rows(count, std::vector<float>(dimensions));
    for (std::size_t r = 0; r < count; ++r) {
      for (std::size_t d = 0; d < dimensions; ++d) rows[r][d] = static_cast<float>(r * 10000 + d);
    }
    write("vectors.bin", encode_vectors(rows));
    const VectorTable table = reader().read_vectors().value();
    for (std::size_t r = 0; r < count; ++r) EXPECT_EQ(table.row(r), rows[r]) << dimensions << "x" << count;
    EXPECT_TRUE(table.all_finite());
    for (const std::size_t at : {std::size_t{0}, count / 2 * dimensions + dimensions / 2, count * dimensions - 1}) {
      Rows broken = rows;
      broken[at / dimensions][at % dimensions] = kNaN;
      write("vectors.bin", encode_vectors(broken));
      EXPECT_EQ(outcome(reader().read_vectors()),
                concat("format error: vector table row has non-finite value at dimension ", at % dimensions))
          << dimensions << "x" << count << " at " << at;
    }
  }
}

std::string truncated(std::string bytes, std::size_t drop) { return bytes.substr(0, bytes.size() - drop); }
const std::string kVectorsEof = "I/O error for {root}/vectors.bin: failed to fill whole buffer";
const std::string kIdsEof = "I/O error for {root}/ids.bin: failed to fill whole buffer";
const std::string kLine0 = metadata_record(0).dump();
// The metadata error names the physical line; the JSON reader's position counts from the start of that line.
const std::string kMetadataError = "format error: metadata JSONL parse error in {root}/metadata.jsonl at line ";

const std::string kRemoved = "(the file is removed)";

// (file, contents, error): each file broken on its own in an otherwise valid index.
TEST_F(IndexFiles, EachFileErrorIsReportedWithItsMessage) {
  for (const auto& [file, contents, error] : std::vector<std::tuple<std::string, std::string, std::string>>{
        {"ids.bin", kRemoved, "I/O error for {root}/ids.bin: No such file or directory (os error 2)"},
        // An empty table is read, and then refused by the count check.
        {"vectors.bin", encode_vectors(2, 0, {}), "format error: vectors.bin count 0 does not match index config 3"},
        {"vectors.bin", encode_vectors(2, 3, kRows, "QVVEC002"),
                 "format error: {root}/vectors.bin has an unsupported vector file magic"},
        {"vectors.bin", "QVVEC", kVectorsEof},
        {"vectors.bin", truncated(encode_vectors(2, 0, {}), 1), kVectorsEof},
        {"vectors.bin", truncated(encode_vectors(kRows), 1), kVectorsEof},
        {"vectors.bin", encode_vectors(kRows) + '\0', "format error: {root}/vectors.bin has trailing bytes"},
        // Rows are read from the file in pieces; the file's end is still checked before the values.
        {"vectors.bin", encode_vectors(2, 3, Rows{{1, 2}, {3, kNaN}, {4, 5}}) + '\0',
                 "format error: {root}/vectors.bin has trailing bytes"},
        {"vectors.bin",
                 encode_vectors(384, 200, [] {
                   Rows rows(200, std::vector<float>(384, 1.0f));
                   rows[199][5] = INFINITY;
                   return rows;
                 }()), "format error: vector table row has non-finite value at dimension 5"},
        // 2^40 rows of 384 values promised, a few present: no buffer of the promised size.
        {"vectors.bin", encode_vectors(384, kHugeCount, Rows(3, std::vector<float>(384))), kVectorsEof},
        {"vectors.bin", encode_vectors(16, std::uint64_t{1} << 60, {}),
                 "format error: vector file dimensions overflow"},
        {"vectors.bin", encode_vectors(1, std::uint64_t{1} << 62, {}), "format error: vector file byte count overflow"},
        {"vectors.bin", encode_vectors(0, kHugeCount, {}),
                 "format error: vector table dimensions must be greater than zero"},
        // With zero dimensions the trailing bytes are still checked first.
        {"vectors.bin", encode_vectors(0, 5, {}) + "x", "format error: {root}/vectors.bin has trailing bytes"},
        {"vectors.bin", encode_vectors(Rows{{1, kNaN}, {3, 4}, {4, 5}}),  // the first row (the last is above)
                 "format error: vector table row has non-finite value at dimension 1"},
        {"ids.bin", encode_ids(3, {0, 1, 2}, "QVVEC001"),
                 "format error: {root}/ids.bin has an unsupported ID file magic"},
        {"ids.bin", truncated(encode_ids({0, 1, 2}), 3), kIdsEof},
        {"ids.bin", encode_ids({0, 1, 2}) + "\x01", "format error: {root}/ids.bin has trailing bytes"},
        {"ids.bin", encode_ids(kHugeCount, {0, 1, 2}), kIdsEof},
        {"ids.bin", encode_ids(std::uint64_t{1} << 62, {0}), kIdsEof},
        {"metadata.jsonl",
                 kLine0 + "\n\n   \r\n{\"record_id\":1}\n",
                 kMetadataError + "4: missing field `chunk_id` at line 1 column 15"},
        {"metadata.jsonl", kLine0 + "\n{\"record_id\": 1,,}\r\n",
                 kMetadataError + "2: syntax error while parsing object key - unexpected ','; expected string literal "
                                  "at line 1 column 17"},
        {"metadata.jsonl", concat("\n", kLine0, "\n", kLine0, " {}"),
                 concat(kMetadataError, "3: syntax error while parsing value - unexpected '{'; expected end of input "
                                        "at line 1 column ", kLine0.size() + 2)},
        // Nested a million levels deep: refused at the depth limit (level 129), not read whole.
        {"metadata.jsonl", R"({"record_id":0,"metadata":)" + std::string(1'000'000, '['),
                 kMetadataError + "1: recursion limit exceeded at line 1 column 154"},
        {"metadata.jsonl", kLine0 + "\n\xff\xfe\n",
                 "I/O error for {root}/metadata.jsonl: stream did not contain valid UTF-8"}}) {
    SetUp();
    if (contents == kRemoved) std::filesystem::remove(root() / file);
    else write(file, contents);
    EXPECT_EQ(outcome(reader().load()), testing::with_root(error, root()));
  }
}

TEST(IndexTables, ReportTheFirstDisagreement) {
  using Ids = std::vector<std::uint64_t>;
  // (config dimensions, config count, ids, metadata ids, outcome)
  for (const auto& [dimensions, count, ids, metadata_ids, error] : std::vector<std::tuple<std::uint64_t, std::uint64_t, Ids, Ids, std::string>>{
        {2, 3, {1, 0, 2}, {1, 0, 2}, "ok"},
        {2, 0, {0, 1, 2}, {0, 1, 2}, "format error: index vector_count must be greater than zero"},
        {3, 3, {0, 1, 2}, {0, 1, 2}, "format error: vectors.bin dimensions 2 do not match index config 3"},
        {2, 4, {0, 1, 2, 3}, {0, 1, 2, 3}, "format error: vectors.bin count 3 does not match index config 4"},
        {2, 3, {0, 1}, {0, 1, 2}, "format error: ids.bin count 2 does not match vector count 3"},
        {2, 3, {0, 1, 2}, {0, 1}, "format error: metadata.jsonl count 2 does not match vector count 3"},
        {2, 3, {0, 0, 1}, {0, 0, 1}, "format error: duplicate internal record id 0"},
        {2, 3, {0, 3, 1}, {0, 3, 1}, "format error: internal record id 3 is out of range for 3 records"},
        // Every id is range-checked before the metadata is compared.
        {2, 3, {0, 1, 5}, {2, 1, 0}, "format error: internal record id 5 is out of range for 3 records"},
        {2, 3, {0, 2, 1}, {0, 1, 2},
                   "format error: id table record id 2 does not match metadata record id 1 at row 1"}}) {
    const IndexConfig config{"quorvex-index-v0", "cosine_similarity", "model", dimensions, count};
    std::vector<IndexMetadataRecord> metadata;
    for (const std::uint64_t id : metadata_ids) metadata.push_back(IndexMetadataRecord{id, "c", "d", nullptr, {}});
    EXPECT_EQ(outcome(validate_tables(config, VectorTable::create(2, kRows).value(), ids, metadata)), error);
  }
  // Record digests are given on every row or on none.
  const IndexConfig config{"quorvex-index-v0", "cosine_similarity", "model", 2, 3};
  for (const auto& [given, error] : std::vector<std::pair<std::vector<bool>, std::string>>{
           {{true, true, true}, "ok"},
           {{true, true, false}, "format error: metadata.jsonl gives record_sha256 on some rows only: rows 0 and 2 differ"},
           {{false, true, true}, "format error: metadata.jsonl gives record_sha256 on some rows only: rows 0 and 1 differ"}}) {
    std::vector<IndexMetadataRecord> metadata;
    for (std::uint64_t id = 0; id < 3; ++id) {
      metadata.push_back({id, "c", "d", nullptr, given[id] ? std::optional(RecordDigest{}) : std::nullopt});
    }
    EXPECT_EQ(outcome(validate_tables(config, VectorTable::create(2, kRows).value(), Ids{0, 1, 2}, metadata)), error);
  }
}

// A record digest is 64 lower-case hexadecimal digits: with any other first or
// last character the line is refused, by the parser and by the direct scan.
TEST(IndexMetadata, RecordDigestsAreLowerCaseHexadecimal) {
  for (int c = 1; c < 256; ++c) {
    const int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    for (const bool last : {false, true}) {
      const std::string digits = last ? std::string(63, '0') + static_cast<char>(c) : static_cast<char>(c) + std::string(63, '0');
      const std::string line = concat(R"({"record_id":0,"chunk_id":"c","document_id":"d","record_sha256":")", digits, R"("})");
      for (const auto& record : {read_json<IndexMetadataRecord>(line), read_metadata_line(line)}) {
        ASSERT_EQ(record.has_value(), value >= 0) << c;
        if (value >= 0) {
          EXPECT_EQ((*record->record_sha256)[last ? 31 : 0], last ? value : value << 4) << c;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorvex
