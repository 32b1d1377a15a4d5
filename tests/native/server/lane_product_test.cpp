#include "server/lane_product.hpp"

#include <gtest/gtest.h>

#include <random>

#include "server/lane_word_product.hpp"

namespace quorvex {
namespace {

struct Case {
  std::size_t rows, columns, count;
  unsigned threads;
};

// Odd rows, partial groups and strips, column tails, a column count one short of a
// whole 64-bit block (8192 columns for up to four vectors) and one past four whole
// 32-bit blocks (4096 columns for 33 vectors, padded to 64).
const Case kCases[] = {{1, 1, 1, 1},     {2, 17, 4, 1},    {5, 33, 3, 2},   {512, 4099, 9, 3},
                       {3, 70000, 2, 2}, {4, 300, 64, 1},  {2, 8191, 3, 2}, {7, 16385, 33, 2}};

// Random lanes (masked) with every lane of row 0 at the mask, and random
// values with every value of vector 0 at its largest.
struct Inputs {
  std::vector<std::uint16_t> lanes;
  std::vector<std::vector<std::uint64_t>> vectors;

  Inputs(const Case& c, std::uint16_t lane_mask) : lanes(c.rows * c.columns), vectors(c.count) {
    std::mt19937_64 random(c.rows * 1000 + c.columns);
    for (auto& lane : lanes) lane = static_cast<std::uint16_t>(random() & lane_mask);
    std::fill_n(lanes.begin(), c.columns, lane_mask);
    for (auto& vector : vectors) {
      vector.resize(c.columns);
      for (auto& value : vector) value = random();
    }
    std::fill(vectors[0].begin(), vectors[0].end(), ~std::uint64_t{0});
  }

  std::vector<std::uint64_t> products(const Case& c, ProductKernel kernel = fastest_product_kernel()) const {
    const auto fill = [&](FactorBlock& block, std::size_t first) {
      for (std::size_t k = 0; k < c.count; ++k) {
        for (std::size_t i = 0; i < block.length(); ++i) block.set(k, i, vectors[k][first + i]);
      }
    };
    return lane_products({lanes.data(), c.rows, c.columns}, c.columns, c.count, c.threads, fill, kernel);
  }
};

// Every kernel, any thread count: the same sums as the plain definition.
TEST(LaneProduct, EqualsTheWrappingSumsOfProducts) {
  for (const Case& c : kCases) {
    const Inputs in(c, 0xFFFF);
    std::vector<std::uint64_t> expected(c.rows * c.count, 0);
    for (std::size_t r = 0; r < c.rows; ++r) {
      for (std::size_t k = 0; k < c.count; ++k) {
        for (std::size_t i = 0; i < c.columns; ++i) {
          expected[r * c.count + k] += in.lanes[r * c.columns + i] * in.vectors[k][i];
        }
      }
    }
    for (const ProductKernel kernel : {ProductKernel::Portable, ProductKernel::Avx2, ProductKernel::Avx512}) {
      if (!product_kernel_available(kernel)) continue;
      EXPECT_EQ(in.products(c, kernel), expected) << "kernel " << static_cast<int>(kernel);
    }
  }
}

// Every 32-bit kernel gives the 64-bit sums of the same 32-bit values modulo
// 2^32, less the offset times each vector's sum: with row 0 at 2^15 - 1, the
// largest lane the SIMD kernels take, a larger lane in the last row (its
// tile goes to the portable kernel), and values whose halves are the extremes
// in the last vector.
TEST(LaneWordProduct, EqualsTheWideSumsModulo2To32LessTheOffset) {
  constexpr std::uint32_t kOffset = 256;
  for (const Case& c : kCases) {
    Inputs in(c, 0x7FFF);
    if (c.rows > 1) in.lanes[c.rows * c.columns - 1 - c.columns / 2] = 0xFFFF;
    for (auto& vector : in.vectors) {
      for (auto& value : vector) value &= 0xFFFFFFFF;
    }
    if (c.count > 1) {
      for (std::size_t i = 0; i < c.columns; ++i) in.vectors.back()[i] = i % 2 == 0 ? 0x80008000u : 0x7FFF7FFFu;
    }
    std::vector<std::uint32_t> expected(c.rows * c.count);
    const std::vector<std::uint64_t> wide = in.products(c);
    for (std::size_t i = 0; i < expected.size(); ++i) {
      std::uint32_t sum = 0;
      for (const std::uint64_t value : in.vectors[i % c.count]) sum += static_cast<std::uint32_t>(value);
      expected[i] = static_cast<std::uint32_t>(wide[i]) - kOffset * sum;
    }
    const auto fill = [&](std::span<std::uint32_t> values, std::size_t first) {
      for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<std::uint32_t>(in.vectors[i % c.count][first + i / c.count]);
      }
    };
    for (const WordProductKernel kernel :
         {WordProductKernel::Portable, WordProductKernel::Avx2, WordProductKernel::Avx512Vnni}) {
      if (!word_product_kernel_available(kernel)) continue;
      EXPECT_EQ(lane_word_products({in.lanes.data(), c.rows, c.columns}, c.columns, c.count, kOffset, c.threads,
                                   fill, kernel),
                expected)
          << "kernel " << static_cast<int>(kernel) << ", " << c.rows << " x " << c.columns << " x " << c.count;
    }
  }
}

}  // namespace
}  // namespace quorvex
