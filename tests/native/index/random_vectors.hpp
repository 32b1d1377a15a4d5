// Random embedding data for tests, reproducible from a seed.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace quorvex::testing {

// Row-major values whose magnitudes span several binary orders, so that a
// different rounding or summation order shows in the results. Every
// `zero_row_every`-th row (if nonzero) is all zeros.
inline std::vector<float> random_row_major(std::size_t rows, std::size_t dimensions, std::uint32_t seed,
                                           std::size_t zero_row_every = 0) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-8, 8);
  std::vector<float> values(rows * dimensions);
  for (std::size_t r = 0; r < rows; ++r) {
    const bool zero = zero_row_every != 0 && r % zero_row_every == 0;
    for (std::size_t d = 0; d < dimensions; ++d) {
      values[r * dimensions + d] = zero ? 0.0f : std::ldexp(mantissa(generator), exponent(generator));
    }
  }
  return values;
}

inline std::vector<std::vector<float>> split_rows(const std::vector<float>& values, std::size_t dimensions) {
  std::vector<std::vector<float>> rows;
  for (std::size_t at = 0; at < values.size(); at += dimensions) {
    rows.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(at),
                      values.begin() + static_cast<std::ptrdiff_t>(at + dimensions));
  }
  return rows;
}

}  // namespace quorvex::testing
