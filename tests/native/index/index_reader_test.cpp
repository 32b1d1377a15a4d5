#include "index/index_reader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/json_decode.hpp"
#include "core/text.hpp"
#include "support/index_files.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using testing::encode_ids;
using testing::encode_vectors;
using testing::metadata_record;
using testing::Rows;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::uint64_t kHugeCount = std::uint64_t{1} << 40;

template <class T>
std::string error_of(const Result<T>& result) {
  return result.has_value() ? "no error" : result.error().display();
}

const Rows kRows{{1.0f, 2.0f}, {-3.0f, 0.5f}, {0.0f, 0.0f}};

// A valid index of kRows in {temp}/index; tests overwrite single files.
class IndexFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    write("index.config.json", testing::index_config_json("model", 2, 3).dump());
    write("vectors.bin", encode_vectors(kRows));
    write("ids.bin", encode_ids({0, 1, 2}));
    write("metadata.jsonl", testing::metadata_jsonl({metadata_record(0), metadata_record(1), metadata_record(2)}));
  }
  void write(std::string_view name, std::string_view contents) const { dir_.write(concat("index/", name), contents); }
  std::filesystem::path file(std::string_view name) const { return dir_.path() / "index" / name; }
  IndexReader reader() const { return IndexReader(dir_.path() / "index"); }
  // Replaces "{path}" in the expected message by the file's full path.
  std::string with_path(std::string message, std::string_view name) const {
    const std::string marker = "{path}";
    if (const auto at = message.find(marker); at != std::string::npos) message.replace(at, marker.size(), file(name).string());
    return message;
  }

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

struct BinaryCase {
  std::string name;
  std::string file;  // "vectors.bin" or "ids.bin"
  std::string contents;
  std::string error;  // "{path}" stands for the file's full path
};

class BinaryFileError : public IndexFiles, public ::testing::WithParamInterface<BinaryCase> {};

TEST_P(BinaryFileError, IsReportedWithItsMessage) {
  write(GetParam().file, GetParam().contents);
  const std::string error = GetParam().file == "vectors.bin" ? error_of(reader().read_vectors())
                                                              : error_of(reader().read_ids());
  EXPECT_EQ(error, with_path(GetParam().error, GetParam().file));
}

std::string vectors_with(std::string_view magic) { return encode_vectors(2, 3, kRows, magic); }
std::string truncated(std::string bytes, std::size_t drop) { return bytes.substr(0, bytes.size() - drop); }
const std::string kEof = "I/O error for {path}: failed to fill whole buffer";

INSTANTIATE_TEST_SUITE_P(
    Vectors, BinaryFileError,
    ::testing::Values(
        BinaryCase{"magic", "vectors.bin", vectors_with("QVVEC002"),
                   "format error: {path} has an unsupported vector file magic"},
        BinaryCase{"short_magic", "vectors.bin", "QVVEC", kEof},
        BinaryCase{"short_count", "vectors.bin", truncated(encode_vectors(2, 0, {}), 1), kEof},
        BinaryCase{"one_byte_missing", "vectors.bin", truncated(encode_vectors(kRows), 1), kEof},
        BinaryCase{"one_byte_extra", "vectors.bin", encode_vectors(kRows) + '\0',
                   "format error: {path} has trailing bytes"},
        // Rows are read from the file in pieces; the file's end is still checked before the values.
        BinaryCase{"trailing_bytes_before_values", "vectors.bin",
                   encode_vectors(2, 2, Rows{{1.0f, NAN}, {2.0f, 3.0f}}) + '\0', "format error: {path} has trailing bytes"},
        BinaryCase{"non_finite_after_many_pieces", "vectors.bin",
                   encode_vectors(384, 200, [] {
                     Rows rows(200, std::vector<float>(384, 1.0f));
                     rows[199][5] = INFINITY;
                     return rows;
                   }()),
                   "format error: vector table row has non-finite value at dimension 5"},
        // 2^40 rows of 384 values promised, a few present: no buffer of the promised size.
        BinaryCase{"huge_count", "vectors.bin", encode_vectors(384, kHugeCount, Rows(3, std::vector<float>(384))), kEof},
        BinaryCase{"dimensions_overflow", "vectors.bin", encode_vectors(16, std::uint64_t{1} << 60, {}),
                   "format error: vector file dimensions overflow"},
        BinaryCase{"byte_count_overflow", "vectors.bin", encode_vectors(1, std::uint64_t{1} << 62, {}),
                   "format error: vector file byte count overflow"},
        BinaryCase{"zero_dimensions", "vectors.bin", encode_vectors(0, kHugeCount, {}),
                   "format error: vector table dimensions must be greater than zero"},
        BinaryCase{"zero_dimensions_checks_trailing_bytes_first", "vectors.bin", encode_vectors(0, 5, {}) + "x",
                   "format error: {path} has trailing bytes"},
        BinaryCase{"nan_names_position_in_row", "vectors.bin", encode_vectors(Rows{{1, 2}, {3, kNaN}}),
                   "format error: vector table row has non-finite value at dimension 1"},
        BinaryCase{"ids_magic", "ids.bin", encode_ids(3, {0, 1, 2}, "QVVEC001"),
                   "format error: {path} has an unsupported ID file magic"},
        BinaryCase{"ids_short", "ids.bin", truncated(encode_ids({0, 1, 2}), 3), kEof},
        BinaryCase{"ids_extra", "ids.bin", encode_ids({0, 1, 2}) + "\x01", "format error: {path} has trailing bytes"},
        BinaryCase{"ids_huge_count", "ids.bin", encode_ids(kHugeCount, {0, 1, 2}), kEof},
        BinaryCase{"ids_count_bytes_overflow", "ids.bin", encode_ids(std::uint64_t{1} << 62, {0}), kEof}),
    [](const auto& param) { return param.param.name; });

TEST_F(IndexFiles, MissingFileIsAnIoErrorNamingIt) {
  std::filesystem::remove(file("ids.bin"));
  EXPECT_EQ(error_of(reader().load()), with_path("I/O error for {path}: No such file or directory (os error 2)", "ids.bin"));
}

TEST_F(IndexFiles, EmptyVectorFileReadsAsEmptyTableAndFailsTheCountCheck) {
  write("vectors.bin", encode_vectors(2, 0, {}));
  EXPECT_EQ(reader().read_vectors().value().row_count(), 0u);
  EXPECT_EQ(error_of(reader().load()), "format error: vectors.bin count 0 does not match index config 3");
}

TEST_F(IndexFiles, MetadataSkipsBlankLinesAcceptsCrLfAndAnUnterminatedLastLine) {
  write("metadata.jsonl", concat("\n", metadata_record(0).dump(), "\r\n \t\r\n\r\n", metadata_record(1).dump(),
                                 "\n\n", metadata_record(2).dump()));
  const auto records = reader().read_metadata().value();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2].record_id, 2u);
  EXPECT_TRUE(reader().load().has_value());
}

TEST_F(IndexFiles, MetadataLinesLongerThanTheReadBuffer) {
  auto record = metadata_record(1);
  record["chunk_id"] = std::string(3 * 8192 + 17, 'x');
  write("metadata.jsonl", concat(metadata_record(0).dump(), "\r\n", record.dump(), "\r\n", metadata_record(2).dump(), "\r\n"));
  const auto records = reader().read_metadata().value();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].chunk_id.size(), 3 * 8192 + 17u);
  EXPECT_EQ(records[2].chunk_id, "chunk-2");
}

struct MetadataCase {
  std::string name;
  std::string before;    // lines before the bad one
  std::string bad_line;  // without its line ending
  std::uint64_t line_number;
  std::string position;  // where the JSON reader places the fault within the line
};

class MetadataParseError : public IndexFiles, public ::testing::WithParamInterface<MetadataCase> {};

// The message carries the physical line number and the JSON reader's own
// description, whose position counts from the start of the bad line.
TEST_P(MetadataParseError, NamesThePhysicalLineAndThePositionWithinIt) {
  const MetadataCase& c = GetParam();
  write("metadata.jsonl", concat(c.before, c.bad_line, "\r\n", metadata_record(2).dump(), "\n"));
  const std::string description = read_json<IndexMetadataRecord>(c.bad_line).error().describe();
  ASSERT_TRUE(description.ends_with(c.position)) << description;
  EXPECT_EQ(error_of(reader().read_metadata()),
            concat("format error: metadata JSONL parse error in ", file("metadata.jsonl").string(), " at line ",
                   c.line_number, ": ", description));
}

const std::string kLine0 = metadata_record(0).dump();

INSTANTIATE_TEST_SUITE_P(
    Lines, MetadataParseError,
    ::testing::Values(
        MetadataCase{"missing_field_after_blank_lines", kLine0 + "\n\n   \r\n", R"({"record_id":1})", 4,
                     "missing field `chunk_id` at line 1 column 15"},
        MetadataCase{"syntax_error", kLine0 + "\n", R"({"record_id": 1,,})", 2, " at line 1 column 17"},
        MetadataCase{"second_value_on_a_line", "\n" + kLine0 + "\n", kLine0 + " {}", 3,
                     concat(" at line 1 column ", kLine0.size() + 2)}),
    [](const auto& param) { return param.param.name; });

TEST_F(IndexFiles, MetadataLineThatIsNotUtf8IsAnIoError) {
  write("metadata.jsonl", concat(metadata_record(0).dump(), "\n\xff\xfe\n"));
  EXPECT_EQ(error_of(reader().read_metadata()),
            with_path("I/O error for {path}: stream did not contain valid UTF-8", "metadata.jsonl"));
}

struct TablesCase {
  std::string name;
  std::uint64_t config_dimensions;
  std::uint64_t config_count;
  std::vector<std::uint64_t> ids;
  std::vector<std::uint64_t> metadata_ids;
  std::string error;
};

class TablesCheck : public ::testing::TestWithParam<TablesCase> {};

TEST_P(TablesCheck, ReportsTheFirstDisagreement) {
  const TablesCase& c = GetParam();
  const IndexConfig config{"quorvex-index-v0", "cosine_similarity", "model", c.config_dimensions, c.config_count};
  const VectorTable vectors = VectorTable::create(2, kRows).value();
  std::vector<IndexMetadataRecord> metadata;
  for (const std::uint64_t id : c.metadata_ids) metadata.push_back(IndexMetadataRecord{id, "c", "d", nullptr});
  const Status status = validate_tables(config, vectors, c.ids, metadata);
  EXPECT_EQ(status.has_value() ? "no error" : status.error().display(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, TablesCheck,
    ::testing::Values(
        TablesCase{"permutation_matching_metadata", 2, 3, {1, 0, 2}, {1, 0, 2}, "no error"},
        TablesCase{"config_revalidated", 2, 0, {0, 1, 2}, {0, 1, 2},
                   "format error: index vector_count must be greater than zero"},
        TablesCase{"dimensions", 3, 3, {0, 1, 2}, {0, 1, 2},
                   "format error: vectors.bin dimensions 2 do not match index config 3"},
        TablesCase{"vector_count", 2, 4, {0, 1, 2, 3}, {0, 1, 2, 3},
                   "format error: vectors.bin count 3 does not match index config 4"},
        TablesCase{"id_count", 2, 3, {0, 1}, {0, 1, 2}, "format error: ids.bin count 2 does not match vector count 3"},
        TablesCase{"metadata_count", 2, 3, {0, 1, 2}, {0, 1},
                   "format error: metadata.jsonl count 2 does not match vector count 3"},
        TablesCase{"duplicate_id", 2, 3, {0, 0, 1}, {0, 0, 1}, "format error: duplicate internal record id 0"},
        TablesCase{"out_of_range_id", 2, 3, {0, 3, 1}, {0, 3, 1},
                   "format error: internal record id 3 is out of range for 3 records"},
        TablesCase{"range_checked_before_metadata", 2, 3, {0, 1, 5}, {2, 1, 0},
                   "format error: internal record id 5 is out of range for 3 records"},
        TablesCase{"id_differs_from_metadata", 2, 3, {0, 2, 1}, {0, 1, 2},
                   "format error: id table record id 2 does not match metadata record id 1 at row 1"}),
    [](const auto& param) { return param.param.name; });

}  // namespace
}  // namespace quorvex
