// Compiled with -ffp-contract=off, like the code under test.
#include "index/cosine_scores.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <tuple>

#include "index/reference_cosine.hpp"
#include "index/random_vectors.hpp"

namespace quorvex {
namespace {

using testing::random_row_major;
using testing::reference_scores;
using testing::split_rows;

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

// (rows, dimensions): row counts around the block size, dimensions around the lane width.
class ExactScores : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {
 protected:
  void expect_reference_scores(std::span<const float> query) const {
    const std::vector<float> expected = reference_scores(query, values_);
    for (const ScoreKernel kernel : {ScoreKernel::Portable, ScoreKernel::Avx2, ScoreKernel::Avx512}) {
      if (!score_kernel_available(kernel)) continue;
      std::vector<float> scores(table_->row_count());
      cosine_scores(*table_, norms_, query, scores, kernel);
      for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(bits(scores[i]), bits(expected[i]))
            << "row " << i << " kernel " << static_cast<int>(kernel) << ": " << scores[i] << " vs " << expected[i];
      }
    }
  }

  void SetUp() override {
    const auto [rows, dimensions] = GetParam();
    dimensions_ = dimensions;
    values_ = random_row_major(rows, dimensions, static_cast<std::uint32_t>(rows * 1000 + dimensions), 5);
    const auto split = split_rows(values_, dimensions);
    table_.emplace(VectorTable::create(dimensions, split).value());
    norms_ = row_norms(*table_);
  }

  std::size_t dimensions_ = 0;
  std::vector<float> values_;
  std::optional<VectorTable> table_;
  std::vector<float> norms_;
};

TEST_P(ExactScores, EqualThePlainSequentialLoopBitForBit) {
  for (std::uint32_t seed = 1; seed <= 3; ++seed) expect_reference_scores(random_row_major(1, dimensions_, seed));
}

TEST_P(ExactScores, ZeroQueryScoresZeroEverywhere) {
  const std::vector<float> zeros(dimensions_, 0.0f);
  expect_reference_scores(zeros);
  std::vector<float> scores(table_->row_count());
  cosine_scores(*table_, norms_, zeros, scores);
  for (const float score : scores) EXPECT_EQ(bits(score), bits(0.0f));
}

TEST_P(ExactScores, RowNormsAreRootsOfSequentialSums) {
  for (std::size_t i = 0; i < table_->row_count(); ++i) {
    const std::span<const float> row(values_.data() + i * dimensions_, dimensions_);
    ASSERT_EQ(bits(norms_[i]), bits(std::sqrt(sequential_squared_norm(row)))) << "row " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ExactScores,
                         ::testing::Combine(::testing::Values(1, 7, 8, 9, 31, 32, 33, 100, 200),
                                            ::testing::Values(1, 3, 8, 9, 384, 385)),
                         [](const auto& param) {
                           return std::to_string(std::get<0>(param.param)) + "x" +
                                  std::to_string(std::get<1>(param.param));
                         });

TEST(ExactScoresOverflow, OverflowingSumsGiveTheSameNonFiniteScores) {
  // 3e38 squared overflows: rr and dot become infinite, and inf / inf is NaN.
  const std::vector<std::vector<float>> rows{{3e38f, 3e38f}, {1.0f, 1.0f}, {3e38f, -3e38f}, {1e-30f, 1e-30f}};
  const VectorTable table = VectorTable::create(2, rows).value();
  const std::vector<float> norms = row_norms(table);
  const std::vector<float> query{1.0f, 1.0f};
  std::vector<float> values;
  for (const auto& row : rows) values.insert(values.end(), row.begin(), row.end());
  const std::vector<float> expected = reference_scores(query, values);
  EXPECT_TRUE(std::isnan(expected[0]));
  for (const ScoreKernel kernel : {ScoreKernel::Portable, ScoreKernel::Avx2, ScoreKernel::Avx512}) {
    if (!score_kernel_available(kernel)) continue;
    std::vector<float> scores(table.row_count());
    cosine_scores(table, norms, query, scores, kernel);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (std::isnan(expected[i])) {
        EXPECT_TRUE(std::isnan(scores[i])) << "row " << i;
      } else {
        EXPECT_EQ(bits(scores[i]), bits(expected[i])) << "row " << i;
      }
    }
  }
}

}  // namespace
}  // namespace quorvex
