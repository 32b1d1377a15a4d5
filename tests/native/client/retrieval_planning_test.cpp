#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "client/retrieval_config.hpp"
#include "client/retrieval_padding.hpp"
#include "client/shuffled_padding.hpp"
#include "support/manifests.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using testing::outcome;

TEST(RetrievalConfig, RulesApplyInOrder) {
  const auto check = [](std::string_view profile, std::uint64_t top_k, std::uint64_t retrieval_count) {
    const auto params = read_json<PirParamMap>(testing::manifest_pir_params(profile).dump()).value();
    return outcome(validate_retrieval_config_for_profile(params, RetrievalConfig{top_k, retrieval_count}));
  };
  const std::string supported = "format error: PIR parameter_profile simplepir-rs-v0-1000-1k requires ";
  // (top_k, retrieval_count, under the supported profile, under the toy profile)
  for (const auto& [top_k, count, under_supported, under_toy] : std::vector<std::tuple<int, int, std::string, std::string>>{
           {2, 4, "ok", "ok"},
           {1, 9, supported + "top_k 2, got 1", "ok"},
           {2, 5, supported + "retrieval_count 4, got 5", "ok"},
           {0, 4, "format error: top_k must be greater than zero", "format error: top_k must be greater than zero"},
           {1, 0, "format error: retrieval_count must be greater than zero",
            "format error: retrieval_count must be greater than zero"},
           {3, 2, "format error: retrieval_count 2 must be greater than or equal to top_k 3",
            "format error: retrieval_count 2 must be greater than or equal to top_k 3"}}) {
    EXPECT_EQ(check("simplepir-rs-v0-1000-1k", top_k, count), under_supported) << top_k << "/" << count;
    EXPECT_EQ(check("toy-development-only-v0", top_k, count), under_toy) << top_k << "/" << count;
  }
  EXPECT_EQ(check("simplepir-balanced-128-v1", 3, 4), "ok");
  EXPECT_EQ(check("simplepir-balanced-128-v1", 2, 5),
            "format error: PIR parameter_profile simplepir-balanced-128-v1 requires retrieval_count 4, got 5");
  EXPECT_EQ(outcome(validate_retrieval_config_for_profile(PirParamMap{}, RetrievalConfig{1, 7})), "ok");
  EXPECT_EQ(outcome(RetrievalConfig::create(0, 1)), "format error: top_k must be greater than zero");
}

TEST(RetrievalPadding, HitsFirstThenSmallestNonHits) {
  using Ids = std::vector<std::uint64_t>;
  // (hits, record count, retrieval count, padded ids)
  for (const auto& [hits, records, count, padded] : std::vector<std::tuple<Ids, std::uint64_t, std::uint64_t, Ids>>{
           {{17, 3}, 1000, 4, {17, 3, 0, 1}}, {{0, 1}, 1000, 4, {0, 1, 2, 3}}, {{2}, 3, 4, {2, 0, 1, 0}},
           {{1, 0}, 2, 4, {1, 0, 0, 1}},      {{5, 5}, 10, 2, {5, 5}},          {{}, 3, 5, {0, 1, 2, 0, 1}}}) {
    EXPECT_TRUE(std::ranges::equal(padded_retrieval_record_ids(hits, records, RetrievalConfig{1, count}).value(), padded));
  }
  const Ids hits{1, 2, 3};
  EXPECT_EQ(outcome(padded_retrieval_record_ids(hits, 0, RetrievalConfig{1, 4})),
            "format error: cannot pad PIR retrieval for an empty record store");
  EXPECT_EQ(outcome(padded_retrieval_record_ids(hits, 10, RetrievalConfig{1, 2})),
            "format error: selected record count 3 exceeds retrieval_count 2");
  EXPECT_EQ(outcome(padded_retrieval_record_ids(hits, 3, RetrievalConfig{1, 4})), "record id 3 is out of range for 3 records");
}

// Hits keep their identity but not their place: over many shuffles every
// position holds each hit about equally often, and the padding is spread
// over every non-hit, never a hit (all records when every record is one).
TEST(ShuffledPadding, HitsAtUniformPositionsPaddedWithUniformNonHits) {
  constexpr int kDraws = 4000;
  const std::vector<std::uint64_t> hits{5, 7};
  std::array<int, 4> first_hit_at{};
  std::array<int, 10> padded_with{};
  for (int draw = 0; draw < kDraws; ++draw) {
    const ShuffledRecordIds planned = shuffled_retrieval_record_ids(hits, 10, RetrievalConfig{2, 4}).value();
    ASSERT_EQ(planned.record_ids.size(), 4u);
    EXPECT_EQ(planned.record_ids[planned.hit_positions[0]], 5u);
    EXPECT_EQ(planned.record_ids[planned.hit_positions[1]], 7u);
    ++first_hit_at[planned.hit_positions[0]];
    for (std::size_t p = 0; p < 4; ++p) {
      if (p != planned.hit_positions[0] && p != planned.hit_positions[1]) ++padded_with[planned.record_ids[p]];
    }
  }
  for (const int count : first_hit_at) EXPECT_NEAR(count, kDraws / 4, 150);  // 5.5 standard deviations
  for (std::uint64_t id = 0; id < 10; ++id) {
    EXPECT_NEAR(padded_with[id], id == 5 || id == 7 ? 0 : 2 * kDraws / 8, id == 5 || id == 7 ? 0 : 150) << id;
  }
  const std::vector<std::uint64_t> every{1, 0};
  const ShuffledRecordIds all = shuffled_retrieval_record_ids(every, 2, RetrievalConfig{2, 4}).value();
  EXPECT_TRUE(std::ranges::all_of(all.record_ids, [](std::uint64_t id) { return id < 2; }));
  EXPECT_EQ(outcome(shuffled_retrieval_record_ids(hits, 7, RetrievalConfig{2, 4})),
            "record id 7 is out of range for 7 records");
}

}  // namespace
}  // namespace quorvex
