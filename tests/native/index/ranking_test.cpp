#include "index/ranking.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

namespace quorvex {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

RankedRow row(float score, std::uint64_t record_id) { return RankedRow{score, record_id, 0}; }

TEST(RanksBefore, HigherScoreThenSmallerRecordIdThenNaNLast) {
  EXPECT_TRUE(ranks_before(row(0.5f, 9), row(0.25f, 1)));
  EXPECT_TRUE(ranks_before(row(0.5f, 1), row(0.5f, 2)));
  EXPECT_FALSE(ranks_before(row(0.5f, 2), row(0.5f, 1)));
  EXPECT_TRUE(ranks_before(row(-0.0f, 1), row(0.0f, 2)));  // -0 and +0 tie
  EXPECT_TRUE(ranks_before(row(-kInf, 9), row(kNaN, 1)));
  EXPECT_FALSE(ranks_before(row(kNaN, 1), row(-kInf, 9)));
  EXPECT_TRUE(ranks_before(row(kNaN, 1), row(kNaN, 2)));
  EXPECT_FALSE(ranks_before(row(kNaN, 2), row(kNaN, 1)));
  EXPECT_FALSE(ranks_before(row(kNaN, 1), row(kNaN, 1)));
}

// Random scores drawn from few values (many ties) with NaNs and infinities.
std::vector<float> tied_scores(std::size_t n, std::uint32_t seed) {
  const std::vector<float> pool{kNaN, -kInf, -1.0f, -0.0f, 0.0f, 0.25f, 0.5f, kInf};
  std::mt19937 generator(seed);
  std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
  std::vector<float> scores(n);
  for (float& score : scores) score = pool[pick(generator)];
  return scores;
}

class SelectTopK : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(SelectTopK, EqualsTheHeadOfAFullSort) {
  const std::size_t n = 200;
  const std::vector<float> scores = tied_scores(n, 7);
  std::vector<std::uint64_t> ids(n);
  std::iota(ids.begin(), ids.end(), std::uint64_t{0});
  std::shuffle(ids.begin(), ids.end(), std::mt19937(11));

  std::vector<RankedRow> all;
  for (std::size_t i = 0; i < n; ++i) all.push_back(RankedRow{scores[i], ids[i], i});
  std::sort(all.begin(), all.end(), ranks_before);
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(GetParam(), n));

  const std::vector<RankedRow> selected = select_top_k(scores, ids, GetParam());
  ASSERT_EQ(selected.size(), keep);
  for (std::size_t i = 0; i < keep; ++i) {
    EXPECT_EQ(selected[i].row, all[i].row) << "rank " << i;
    EXPECT_EQ(selected[i].record_id, all[i].record_id);
  }
  // Every NaN comes after every number.
  const auto first_nan = std::find_if(all.begin(), all.end(), [](const RankedRow& r) { return std::isnan(r.score); });
  EXPECT_TRUE(std::all_of(first_nan, all.end(), [](const RankedRow& r) { return std::isnan(r.score); }));
}

INSTANTIATE_TEST_SUITE_P(Sizes, SelectTopK,
                         ::testing::Values(0, 1, 2, 10, 199, 200, 201, std::numeric_limits<std::uint64_t>::max()));

}  // namespace
}  // namespace quorvex
