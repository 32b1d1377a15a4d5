#include "embed/bert_activations.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace quorvex {
namespace {

std::vector<float> normal_values(std::size_t count, float spread) {
  std::mt19937 generator(7);
  std::normal_distribution<float> normal(0.0f, spread);
  std::vector<float> values(count);
  for (float& value : values) value = normal(generator);
  return values;
}

// Both steps agree with the exact functions to float32 rounding, and a value's result does not depend on
// where it sits in the buffer: the vector body and the scalar tail of every kernel compute the same bits,
// so a buffer taken whole or in pieces of any length gives the same result.
TEST(BertActivations, MatchTheExactFunctionsAndDoNotDependOnTheSplit) {
  const std::vector<float> inputs = normal_values(16 * 24 + 5, 4.0f);
  std::vector<float> whole = inputs, pieces = inputs;
  gelu_in_place(whole);
  for (std::size_t first = 0; first < pieces.size(); first += 7) {
    gelu_in_place(std::span(pieces).subspan(first, std::min<std::size_t>(7, pieces.size() - first)));
  }
  EXPECT_EQ(whole, pieces);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const double x = inputs[i], exact = 0.5 * x * (1 + std::erf(x / std::sqrt(2.0)));
    EXPECT_NEAR(whole[i], exact, 4e-7 * std::max(1.0, std::fabs(exact))) << x;
  }

  constexpr std::size_t kRow = 37;  // not a multiple of any vector width
  const std::vector<float> scores = normal_values(kRow * 9, 30.0f);  // exponents far beyond float32's range
  std::vector<float> rows = scores, one_by_one = scores;
  softmax_rows_in_place(rows, kRow);
  for (std::size_t first = 0; first < scores.size(); first += kRow) {
    softmax_rows_in_place(std::span(one_by_one).subspan(first, kRow), kRow);
  }
  EXPECT_EQ(rows, one_by_one);
  for (std::size_t first = 0; first < scores.size(); first += kRow) {
    double largest = scores[first], sum = 0;
    for (std::size_t i = 0; i < kRow; ++i) largest = std::max(largest, double{scores[first + i]});
    for (std::size_t i = 0; i < kRow; ++i) sum += std::exp(scores[first + i] - largest);
    for (std::size_t i = 0; i < kRow; ++i) {
      EXPECT_NEAR(rows[first + i], std::exp(scores[first + i] - largest) / sum, 1e-6);
    }
  }
}

}  // namespace
}  // namespace quorvex
