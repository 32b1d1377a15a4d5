// Compiled with -ffp-contract=off: the expected scores come from the plain loop.
#include "index/local_index.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <limits>

#include "core/text.hpp"
#include "index/random_vectors.hpp"
#include "index/reference_cosine.hpp"
#include "support/index_files.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using testing::CacheBuilder;
using testing::Rows;

template <class T>
std::string error_of(const Result<T>& result) {
  return result.has_value() ? "no error" : result.error().display();
}

std::vector<std::uint64_t> record_ids(const std::vector<SearchResult>& hits) {
  std::vector<std::uint64_t> ids;
  for (const auto& hit : hits) ids.push_back(hit.record_id);
  return ids;
}

// Four rows under record ids 2, 0, 3, 1.
class Cache : public ::testing::Test {
 protected:
  Cache() { testing::add_index(cache_, kRows, {2, 0, 3, 1}); }
  Result<LocalIndex> load() const {
    cache_.write(dir_.path());
    return LocalIndex::load_verified_from_public_cache(dir_.path());
  }
  std::string path(std::string_view relative) const { return (dir_.path() / relative).string(); }

  const Rows kRows{{1, 0, 0, 0}, {0, 1, 0, 0}, {1, 1, 0, 0}, {0, 0, 0, 0}};
  CacheBuilder cache_;
  testing::TempDir dir_;
};

TEST_F(Cache, LoadsAndExposesTheIndex) {
  const LocalIndex index = load().value();
  EXPECT_EQ(index.row_count(), 4u);
  EXPECT_EQ(index.dimensions(), 4u);
  EXPECT_EQ(index.embedding_model(), "hashing-384-v1");
  EXPECT_EQ(index.ids(), (std::vector<std::uint64_t>{2, 0, 3, 1}));
  EXPECT_EQ(index.metadata()[2].chunk_id, "chunk-3");
}

TEST_F(Cache, IndexDirectoryReachedThroughASymbolicLinkLoads) {
  cache_.write(dir_.path());
  std::filesystem::rename(dir_.path() / "index", dir_.path() / "elsewhere");
  std::filesystem::create_directory_symlink(dir_.path() / "elsewhere", dir_.path() / "index");
  EXPECT_TRUE(LocalIndex::load_verified_from_public_cache(dir_.path()).has_value());
}

TEST_F(Cache, ChecksumMismatchIsReportedBeforeAnyIndexFileIsParsed) {
  cache_.write(dir_.path());
  dir_.write("index/ids.bin", "not an id table");
  const auto index = LocalIndex::load_verified_from_public_cache(dir_.path());
  ASSERT_FALSE(index.has_value());
  ASSERT_TRUE(index.error().is<QuorvexError::ChecksumMismatch>());
  EXPECT_TRUE(index.error().display().starts_with("checksum mismatch for index/ids.bin: expected ")) << index.error().display();
}

struct LoadCase {
  std::string name;
  std::function<void(CacheBuilder&)> breaks;
  std::string error;  // "{root}" stands for the cache directory
};

class LoadFailure : public Cache, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadFailure, ReportsTheFirstFailingStep) {
  GetParam().breaks(cache_);
  std::string expected = GetParam().error;
  if (const auto at = expected.find("{root}"); at != std::string::npos) expected.replace(at, 6, dir_.path().string());
  EXPECT_EQ(error_of(load()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, LoadFailure,
    ::testing::Values(
        LoadCase{"manifest_before_checksums",
                 [](CacheBuilder& c) {
                   c.manifest["chunk_count"] = 0;
                   c.checksum_algorithm = "SHA256";
                 },
                 "format error: manifest chunk_count must be greater than zero"},
        LoadCase{"missing_index_directory",
                 [](CacheBuilder& c) {
                   c.checksum_algorithm = "SHA256";
                   std::erase_if(c.files, [](const auto& file) { return file.first.starts_with("index/"); });
                 },
                 "I/O error for {root}/index: No such file or directory (os error 2)"},
        LoadCase{"checksum_algorithm", [](CacheBuilder& c) { c.checksum_algorithm = "SHA256"; },
                 "format error: unsupported checksum algorithm: SHA256"},
        LoadCase{"missing_checksum_entry_before_parsing",
                 [](CacheBuilder& c) {
                   c.without_checksum.insert("index/metadata.jsonl");
                   c.files["index/ids.bin"] = testing::encode_ids({0, 0, 0, 0});
                 },
                 "missing checksum entry for index/metadata.jsonl"},
        LoadCase{"index_table_rule", [](CacheBuilder& c) { c.files["index/ids.bin"] = testing::encode_ids({0, 0, 0, 0}); },
                 "format error: duplicate internal record id 0"},
        LoadCase{"index_file_rule",
                 [](CacheBuilder& c) { c.files["index/vectors.bin"] += "x"; },
                 "format error: {root}/index/vectors.bin has trailing bytes"},
        LoadCase{"model_against_manifest", [](CacheBuilder& c) { c.manifest["embedding_model"] = "other-model"; },
                 "format error: index embedding model hashing-384-v1 does not match manifest other-model"},
        LoadCase{"dimensions_against_manifest", [](CacheBuilder& c) { c.manifest["embedding_dimensions"] = 5; },
                 "format error: index dimensions 4 do not match manifest 5"},
        LoadCase{"count_against_manifest",
                 [](CacheBuilder& c) { c.manifest["chunk_count"] = c.manifest["pir_record_count"] = 5; },
                 "format error: index vector count 4 does not match manifest chunk count 5"}),
    [](const auto& param) { return param.param.name; });

TEST_F(Cache, QueryChecksComeBeforeTopK) {
  const LocalIndex index = load().value();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(error_of(index.search_cosine(std::vector<float>{1, 2, 3}, 0)),
            "format error: query has 3 dimensions, expected 4");
  EXPECT_EQ(error_of(index.search_cosine(std::vector<float>{1, 2, 3, 4, 5}, 2)),
            "format error: query has 5 dimensions, expected 4");
  EXPECT_EQ(error_of(index.search_cosine(std::vector<float>{1, 2, inf, 4}, 0)),
            "format error: query vector has non-finite value at dimension 2");
  EXPECT_EQ(error_of(index.search_cosine(std::vector<float>{std::numeric_limits<float>::quiet_NaN(), 0, 0, 0}, 1)),
            "format error: query vector has non-finite value at dimension 0");
  EXPECT_TRUE(index.search_cosine(std::vector<float>{1, 2, 3, 4}, 0).value().empty());
}

TEST_F(Cache, HitsCarryChunkRecordScoreAndMetadata) {
  const LocalIndex index = load().value();
  const auto hits = index.search_cosine(std::vector<float>{2, 0, 0, 0}, 2).value();
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].record_id, 2u);
  EXPECT_EQ(hits[0].chunk_id, "chunk-2");
  EXPECT_EQ(hits[0].score, 1.0f);
  ASSERT_TRUE(hits[0].metadata.has_value());
  EXPECT_EQ((*hits[0].metadata)["record"], 2);
  EXPECT_EQ(hits[1].record_id, 3u);  // row [1, 1, 0, 0]
}

TEST_F(Cache, ZeroQueryAndTopKAboveRowCountGiveEveryRowInRecordIdOrder) {
  const LocalIndex index = load().value();
  const auto hits = index.search_cosine(std::vector<float>{0, 0, 0, 0}, 1000).value();
  EXPECT_EQ(record_ids(hits), (std::vector<std::uint64_t>{0, 1, 2, 3}));
  for (const auto& hit : hits) EXPECT_EQ(std::bit_cast<std::uint32_t>(hit.score), 0u);
  // The all-zero row (record 1) scores 0 against any query.
  const auto against_y = index.search_cosine(std::vector<float>{0, -1, 0, 0}, 4).value();
  EXPECT_EQ(record_ids(against_y), (std::vector<std::uint64_t>{1, 2, 3, 0}));
}

TEST_F(Cache, MetadataNullOrAbsentGivesNoMetadataAnEmptyObjectIsKept) {
  std::vector<nlohmann::ordered_json> records;
  for (const std::uint64_t id : {2, 0, 3, 1}) records.push_back(testing::metadata_record(id));
  records[0]["metadata"] = nullptr;
  records[1].erase("metadata");
  records[2]["metadata"] = nlohmann::ordered_json::object();
  cache_.files["index/metadata.jsonl"] = testing::metadata_jsonl(records);
  const auto hits = load().value().search_cosine(std::vector<float>{0, 0, 0, 0}, 4).value();
  ASSERT_EQ(record_ids(hits), (std::vector<std::uint64_t>{0, 1, 2, 3}));
  EXPECT_FALSE(hits[0].metadata.has_value());  // absent key
  EXPECT_TRUE(hits[1].metadata.has_value());
  EXPECT_FALSE(hits[2].metadata.has_value());  // null
  ASSERT_TRUE(hits[3].metadata.has_value());
  EXPECT_TRUE(hits[3].metadata->is_object() && hits[3].metadata->empty());
}

TEST(CacheSearch, EqualScoresRankByRecordIdNotRowPosition) {
  CacheBuilder cache;
  testing::add_index(cache, Rows{{1, 2}, {3, 1}, {1, 2}, {1, 2}, {-1, 0}}, {4, 1, 3, 0, 2});
  testing::TempDir dir;
  cache.write(dir.path());
  const auto hits = LocalIndex::load_verified_from_public_cache(dir.path()).value().search_cosine(std::vector<float>{1, 2}, 5);
  // Rows 0, 2 and 3 are equal, so are their scores: they rank by record id.
  ASSERT_EQ(hits.value().size(), 5u);
  EXPECT_EQ(record_ids(hits.value()), (std::vector<std::uint64_t>{0, 3, 4, 1, 2}));
}

TEST(CacheSearch, NaNScoresRankLastAmongThemselvesByRecordId) {
  // Against [1, 1], rows of 3e38 overflow: dot and rr are infinite and inf / inf is NaN.
  CacheBuilder cache;
  testing::add_index(cache, Rows{{3e38f, 3e38f}, {1, 0}, {2e38f, 3e38f}, {-1, -1}, {1, 1}}, {1, 4, 0, 2, 3});
  testing::TempDir dir;
  cache.write(dir.path());
  const auto hits = LocalIndex::load_verified_from_public_cache(dir.path()).value().search_cosine(std::vector<float>{1, 1}, 5).value();
  EXPECT_EQ(record_ids(hits), (std::vector<std::uint64_t>{3, 4, 2, 0, 1}));
  EXPECT_TRUE(std::isnan(hits[3].score) && std::isnan(hits[4].score));
  const auto top3 = LocalIndex::load_verified_from_public_cache(dir.path()).value().search_cosine(std::vector<float>{1, 1}, 3).value();
  EXPECT_EQ(record_ids(top3), (std::vector<std::uint64_t>{3, 4, 2}));
}

TEST(CacheSearch, RandomIndexScoresAndRankingEqualThePlainLoop) {
  const std::size_t rows = 301, dimensions = 384;
  const std::vector<float> values = testing::random_row_major(rows, dimensions, 42, 50);
  std::vector<std::uint64_t> ids(rows);
  for (std::size_t i = 0; i < rows; ++i) ids[i] = (i * 11) % rows;  // a permutation: 11 is prime to 301
  CacheBuilder cache;
  testing::add_index(cache, testing::split_rows(values, dimensions), ids);
  testing::TempDir dir;
  cache.write(dir.path());
  const LocalIndex index = LocalIndex::load_verified_from_public_cache(dir.path()).value();
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    const std::vector<float> query = testing::random_row_major(1, dimensions, seed);
    const std::vector<float> scores = testing::reference_scores(query, values);
    const std::vector<std::size_t> order = testing::reference_ranking(scores, ids);
    for (const std::uint64_t k : {1u, 10u, 301u}) {
      const auto hits = index.search_cosine(query, k).value();
      ASSERT_EQ(hits.size(), k);
      for (std::size_t i = 0; i < k; ++i) {
        ASSERT_EQ(hits[i].record_id, ids[order[i]]) << "rank " << i;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(hits[i].score), std::bit_cast<std::uint32_t>(scores[order[i]]));
      }
    }
  }
}

}  // namespace
}  // namespace quorvex
