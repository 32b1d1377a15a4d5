// LocalIndex: the loader that reads a cache directory on its own (manifest,
// checksums, then the index files) and the search over the loaded index.
#include "index/local_index.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <limits>

#include "support/index_files.hpp"

namespace quorvex {
namespace {

using testing::CacheBuilder;
using testing::outcome;

std::vector<std::uint64_t> record_ids(const std::vector<SearchResult>& hits) {
  std::vector<std::uint64_t> ids;
  for (const auto& hit : hits) ids.push_back(hit.record_id);
  return ids;
}

// Four rows under record ids 2, 0, 3, 1.
CacheBuilder four_rows() {
  CacheBuilder cache;
  testing::add_index(cache, {{1, 0, 0, 0}, {0, 1, 0, 0}, {1, 1, 0, 0}, {0, 0, 0, 0}}, {2, 0, 3, 1});
  return cache;
}

class Cache : public ::testing::Test {
 protected:
  Result<LocalIndex> load() const {
    cache_.write(dir_.path());
    return LocalIndex::load_verified_from_public_cache(dir_.path());
  }
  CacheBuilder cache_ = four_rows();
  testing::TempDir dir_;
};

TEST_F(Cache, IndexDirectoryReachedThroughASymbolicLinkLoads) {
  cache_.write(dir_.path());
  std::filesystem::rename(dir_.path() / "index", dir_.path() / "elsewhere");
  std::filesystem::create_directory_symlink(dir_.path() / "elsewhere", dir_.path() / "index");
  const LocalIndex index = LocalIndex::load_verified_from_public_cache(dir_.path()).value();
  EXPECT_EQ(index.row_count(), 4u);
  EXPECT_EQ(index.dimensions(), 4u);
  EXPECT_EQ(index.embedding_model(), "hashing-384-v1");
  EXPECT_EQ(index.ids(), (std::vector<std::uint64_t>{2, 0, 3, 1}));
}

using testing::kUnchanged;

TEST(LocalIndexLoad, ReportsTheFirstFailingStep) {
  for (const testing::CacheCase& c : std::vector<testing::CacheCase>{
        {"manifest_before_checksums", [](CacheBuilder& c) {
                             c.manifest["chunk_count"] = 0;
                             c.checksum_algorithm = "SHA256";
                           },
                           kUnchanged, "format error: manifest chunk_count must be greater than zero"},
        {"missing_index_directory", [](CacheBuilder& c) {
                             c.checksum_algorithm = "SHA256";
                             std::erase_if(c.files, [](const auto& file) { return file.first.starts_with("index/"); });
                           },
                           kUnchanged, "I/O error for {root}/index: No such file or directory (os error 2)"},
        {"checksum_mismatch_before_parsing", kUnchanged,
                           [](const auto& root) { testing::write_bytes(root / "index/ids.bin", "not an id table"); },
                           "checksum mismatch for index/ids.bin: expected "},
        {"index_against_manifest", [](CacheBuilder& c) { c.manifest["chunk_count"] = c.manifest["pir_record_count"] = 5; },
                           kUnchanged, "format error: index vector count 4 does not match manifest chunk count 5"}}) {
    CacheBuilder cache = four_rows();
    const testing::TempDir dir;
    c.before_write(cache);
    cache.write(dir.path());
    c.after_write(dir.path());
    const std::string actual = outcome(LocalIndex::load_verified_from_public_cache(dir.path()));
    EXPECT_EQ(actual, c.expected(actual, dir.path())) << c.name;
  }
}

TEST_F(Cache, QueryChecksComeBeforeTopK) {
  const LocalIndex index = load().value();
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(outcome(index.search_cosine(std::vector<float>{1, 2, 3}, 0)), "format error: query has 3 dimensions, expected 4");
  EXPECT_EQ(outcome(index.search_cosine(std::vector<float>{1, 2, 3, 4, 5}, 2)),
            "format error: query has 5 dimensions, expected 4");
  EXPECT_EQ(outcome(index.search_cosine(std::vector<float>{1, 2, inf, 4}, 0)),
            "format error: query vector has non-finite value at dimension 2");
  EXPECT_EQ(outcome(index.search_cosine(std::vector<float>{nan, 0, 0, 0}, 1)),
            "format error: query vector has non-finite value at dimension 0");
  EXPECT_TRUE(index.search_cosine(std::vector<float>{1, 2, 3, 4}, 0).value().empty());
}

TEST_F(Cache, HitsCarryChunkRecordScoreAndMetadata) {
  std::vector<nlohmann::ordered_json> records;
  for (const std::uint64_t id : {2, 0, 3, 1}) records.push_back(testing::metadata_record(id));
  records[1].erase("metadata");
  records[2]["metadata"] = nullptr;
  records[3]["metadata"] = nlohmann::ordered_json::object();
  cache_.files["index/metadata.jsonl"] = testing::metadata_jsonl(records);
  const LocalIndex index = load().value();
  const auto hits = index.search_cosine(std::vector<float>{2, 0, 0, 0}, 2).value();
  EXPECT_EQ(record_ids(hits), (std::vector<std::uint64_t>{2, 3}));  // rows [1, 0, 0, 0] and [1, 1, 0, 0]
  EXPECT_EQ(hits[0].chunk_id, "chunk-2");
  EXPECT_EQ(hits[0].score, 1.0f);
  EXPECT_EQ((*hits[0].metadata)["record"], 2);
  EXPECT_FALSE(hits[1].metadata.has_value());  // null
  // A zero query, and the all-zero row against any query, score 0: equal scores rank by record id.
  const auto all = index.search_cosine(std::vector<float>{0, 0, 0, 0}, 1000).value();
  EXPECT_EQ(record_ids(all), (std::vector<std::uint64_t>{0, 1, 2, 3}));
  for (const auto& hit : all) EXPECT_EQ(std::bit_cast<std::uint32_t>(hit.score), 0u);
  EXPECT_FALSE(all[0].metadata.has_value());  // absent
  EXPECT_TRUE(all[1].metadata.has_value() && all[1].metadata->empty());
  EXPECT_EQ(record_ids(index.search_cosine(std::vector<float>{0, -1, 0, 0}, 4).value()),
            (std::vector<std::uint64_t>{1, 2, 3, 0}));
}

}  // namespace
}  // namespace quorvex
