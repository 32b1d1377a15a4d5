#include "server/lane_product.hpp"

#include <gtest/gtest.h>

#include <random>

namespace quorvex {
namespace {

// Every kernel, any thread count: the same sums as the plain definition,
// including the largest lanes and values, odd rows, partial groups and tails, and a
// column count one short of a whole block (8192 columns for up to four vectors).
TEST(LaneProduct, EqualsTheWrappingSumsOfProducts) {
  for (const auto& [rows, columns, count, threads] : std::vector<std::tuple<std::size_t, std::size_t, std::size_t, unsigned>>{
           {1, 1, 1, 1}, {2, 17, 4, 1}, {5, 33, 3, 2}, {512, 4099, 9, 3}, {3, 70000, 2, 2}, {4, 300, 64, 1},
           {2, 8191, 3, 2}}) {
    std::mt19937_64 random(rows * 1000 + columns);
    std::vector<std::uint16_t> lanes(rows * columns);
    for (auto& lane : lanes) lane = static_cast<std::uint16_t>(random());
    std::fill_n(lanes.begin(), columns, std::uint16_t{0xFFFF});
    std::vector<std::vector<std::uint64_t>> vectors(count, std::vector<std::uint64_t>(columns));
    for (auto& vector : vectors) {
      for (auto& value : vector) value = random();
    }
    std::fill(vectors[0].begin(), vectors[0].end(), ~std::uint64_t{0});

    std::vector<std::uint64_t> expected(rows * count, 0);
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t c = 0; c < columns; ++c) expected[r * count + k] += lanes[r * columns + c] * vectors[k][c];
      }
    }
    const auto fill = [&](FactorBlock& block, std::size_t first) {
      for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t c = 0; c < block.length(); ++c) block.set(k, c, vectors[k][first + c]);
      }
    };
    for (const ProductKernel kernel : {ProductKernel::Portable, ProductKernel::Avx2, ProductKernel::Avx512}) {
      if (!product_kernel_available(kernel)) continue;
      EXPECT_EQ(lane_products({lanes.data(), rows, columns}, columns, count, threads, fill, kernel), expected)
          << "kernel " << static_cast<int>(kernel);
    }
  }
}

}  // namespace
}  // namespace quorvex
