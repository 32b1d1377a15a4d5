// The vector table and the exact search over it: scores equal bit for bit to
// the plain loop written here, and the ranking of hits. Compiled with
// -ffp-contract=off, like the code under test, so that the loop rounds alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "index/cosine_scores.hpp"
#include "index/ranking.hpp"
#include "index/vector_table.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using Rows = std::vector<std::vector<float>>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

// Values whose magnitudes span several binary orders, so that another rounding
// or summation order shows; every `zero_row_every`-th row (if nonzero) is zeros.
Rows random_rows(std::size_t count, std::size_t dimensions, std::uint32_t seed, std::size_t zero_row_every = 0) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-8, 8);
  Rows rows(count, std::vector<float>(dimensions));
  for (std::size_t r = 0; r < count; ++r) {
    const bool zero = zero_row_every != 0 && r % zero_row_every == 0;
    for (float& value : rows[r]) value = zero ? 0.0f : std::ldexp(mantissa(generator), exponent(generator));
  }
  return rows;
}

float reference_cosine(std::span<const float> query, std::span<const float> row) {
  float dot = 0.0f, qq = 0.0f, rr = 0.0f;
  for (std::size_t j = 0; j < query.size(); ++j) {
    const float qr = query[j] * row[j], q2 = query[j] * query[j], r2 = row[j] * row[j];
    dot = dot + qr;
    qq = qq + q2;
    rr = rr + r2;
  }
  if (qq == 0.0f || rr == 0.0f) return 0.0f;
  const float denominator = std::sqrt(qq) * std::sqrt(rr);
  return dot / denominator;
}

// Built from rows, and read from little-endian bytes in pieces that split rows
// (20000 values do not fit one piece), every row reads back as stored.
TEST(VectorTable, RowsReadBackAcrossBlockAndPieceBoundaries) {
  for (const auto& [count, dimensions] : {std::pair<std::size_t, std::size_t>{1, 5}, {7, 5}, {8, 5}, {9, 5},
                                         {17, 5}, {3, 20000}, {9, 20000}}) {
    const Rows rows = random_rows(count, dimensions, 3);
    std::vector<float> values;
    for (const auto& row : rows) values.insert(values.end(), row.begin(), row.end());
    const char* bytes = reinterpret_cast<const char*>(values.data());
    const auto read = [&bytes](std::span<char> piece) -> Status {
      std::copy_n(bytes, piece.size(), piece.data());
      bytes += piece.size();
      return {};
    };
    for (const VectorTable& table : {VectorTable::create(dimensions, rows).value(),
                                     VectorTable::read_little_endian(dimensions, count, read).value()}) {
      EXPECT_EQ(table.block_count(), (count + 7) / 8);
      ASSERT_EQ(table.row_count(), count);
      for (std::size_t r = 0; r < count; ++r) ASSERT_EQ(table.row(r), rows[r]) << count << "x" << dimensions;
    }
  }
}

TEST(VectorTable, InvalidTablesAreRefused) {
  for (const auto& [dimensions, rows, error] : std::vector<std::tuple<std::uint64_t, Rows, std::string>>{
        {0, {{}}, "format error: vector table dimensions must be greater than zero"},
        {3, {{1, 2, 3}, {1, kNaN, 3}}, "format error: vector table row has non-finite value at dimension 1"},
        // Within a row the values are checked before its length.
        {2, {{1, 2, kInf}}, "format error: vector table row has non-finite value at dimension 2"},
        {3, {{1, 2, 3}, {1, 2}}, "format error: vector at row 1 has 2 dimensions, expected 3"},
        {2, {{1}, {kNaN, 0}}, "format error: vector at row 0 has 1 dimensions, expected 2"}}) {
    EXPECT_EQ(testing::outcome(VectorTable::create(dimensions, rows)), error);
  }
}

// Every kernel the processor has gives the plain loop's scores, overflowing
// rows included (3e38 squared is infinite, and inf / inf is NaN).
void expect_reference_scores(const Rows& rows, const Rows& queries) {
  const VectorTable table = VectorTable::create(rows[0].size(), rows).value();
  const std::vector<float> norms = row_norms(table);
  for (const auto& query : queries) {
    for (const ScoreKernel kernel : {ScoreKernel::Portable, ScoreKernel::Avx2, ScoreKernel::Avx512}) {
      if (!score_kernel_available(kernel)) continue;
      std::vector<float> scores(rows.size());
      cosine_scores(table, norms, query, scores, kernel);
      for (std::size_t i = 0; i < rows.size(); ++i) {
        const float expected = reference_cosine(query, rows[i]);
        if (std::isnan(expected)) {
          ASSERT_TRUE(std::isnan(scores[i])) << "row " << i;
        } else {
          ASSERT_EQ(bits(scores[i]), bits(expected)) << "row " << i << " kernel " << static_cast<int>(kernel);
        }
      }
    }
  }
}

// Row counts around the block size, dimensions around the lane width.
TEST(ExactScores, EqualThePlainSequentialLoopBitForBit) {
  for (const std::size_t count : {1, 7, 8, 9, 31, 32, 33, 100, 200}) {
    for (const std::size_t dimensions : {1, 3, 8, 9, 384, 385}) {
      Rows queries = random_rows(3, dimensions, 1);
      queries.emplace_back(dimensions, 0.0f);
      expect_reference_scores(random_rows(count, dimensions, static_cast<std::uint32_t>(count * 1000 + dimensions), 5), queries);
    }
  }
}

TEST(ExactScores, OverflowingSumsGiveTheSameNonFiniteScores) {
  expect_reference_scores({{3e38f, 3e38f}, {1.0f, 1.0f}, {3e38f, -3e38f}, {1e-30f, 1e-30f}}, {{1.0f, 1.0f}});
  EXPECT_TRUE(std::isnan(reference_cosine(std::vector<float>{1, 1}, std::vector<float>{3e38f, 3e38f})));
}

RankedRow ranked(float score, std::uint64_t record_id) { return RankedRow{score, record_id, 0}; }

TEST(Ranking, HigherScoreThenSmallerRecordIdThenNaNLast) {
  EXPECT_TRUE(ranks_before(ranked(0.5f, 9), ranked(0.25f, 1)));
  EXPECT_TRUE(ranks_before(ranked(0.5f, 1), ranked(0.5f, 2)));
  EXPECT_FALSE(ranks_before(ranked(0.5f, 2), ranked(0.5f, 1)));
  EXPECT_TRUE(ranks_before(ranked(-0.0f, 1), ranked(0.0f, 2)));  // -0 and +0 tie
  EXPECT_TRUE(ranks_before(ranked(-kInf, 9), ranked(kNaN, 1)));
  EXPECT_FALSE(ranks_before(ranked(kNaN, 1), ranked(-kInf, 9)));
  EXPECT_TRUE(ranks_before(ranked(kNaN, 1), ranked(kNaN, 2)));
  EXPECT_FALSE(ranks_before(ranked(kNaN, 2), ranked(kNaN, 1)));
  EXPECT_FALSE(ranks_before(ranked(kNaN, 1), ranked(kNaN, 1)));
}

// The selection of the best k equals the head of a full sort, for scores drawn
// from few values (many ties) with NaNs and infinities.
TEST(SelectTopK, EqualsTheHeadOfAFullSort) {
  const std::vector<float> pool{kNaN, -kInf, -1.0f, -0.0f, 0.0f, 0.25f, 0.5f, kInf};
  std::mt19937 generator(7);
  std::vector<float> scores(200);
  for (float& score : scores) score = pool[generator() % pool.size()];
  std::vector<std::uint64_t> ids(scores.size());
  std::iota(ids.begin(), ids.end(), std::uint64_t{0});
  std::shuffle(ids.begin(), ids.end(), generator);
  std::vector<RankedRow> all;
  for (std::size_t i = 0; i < scores.size(); ++i) all.push_back(RankedRow{scores[i], ids[i], i});
  std::sort(all.begin(), all.end(), ranks_before);
  for (const std::uint64_t k : {std::uint64_t{0}, 1ul, 2ul, 10ul, 199ul, 200ul, 201ul, std::numeric_limits<std::uint64_t>::max()}) {
    const auto selected = select_top_k(scores, ids, k);
    ASSERT_EQ(selected.size(), std::min<std::uint64_t>(k, scores.size()));
    for (std::size_t i = 0; i < selected.size(); ++i) EXPECT_EQ(selected[i].row, all[i].row) << "rank " << i << " of " << k;
  }
}

}  // namespace
}  // namespace quorvex
