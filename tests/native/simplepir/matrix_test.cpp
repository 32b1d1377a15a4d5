// The two public matrices: the simplepir-rs Matrix and the toy entries.
#include "simplepir/matrix.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "simplepir/chacha20_rng.hpp"
#include "simplepir/toy_public_matrix.hpp"

namespace quorvex {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(Matrix, RandomEntriesAreTheGeneratorOutputsInRowMajorOrder) {
  const Matrix matrix = Matrix::new_random(3, 2, 0, kMax, 1);
  auto rng = ChaCha20Rng::seed_from_u64(1);
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 2; ++j) EXPECT_EQ(matrix.at(i, j), rng.next_u64()) << i << "," << j;
  }
  EXPECT_EQ(matrix.row(1)[0], matrix.at(1, 0));
  EXPECT_EQ(Matrix::new_random(3, 2, 0, kMax, 1), matrix);
  EXPECT_NE(Matrix::new_random(3, 2, 0, kMax, 2), matrix);
  EXPECT_NE(Matrix::new_random(2, 4, 0, kMax, std::nullopt), Matrix::new_random(2, 4, 0, kMax, std::nullopt));
}

TEST(Matrix, NarrowRangesStayInRange) {
  const Matrix small = Matrix::new_random(20, 50, 10, 12, 3);
  EXPECT_TRUE(std::ranges::all_of(small.values(), [](std::uint64_t v) { return v >= 10 && v <= 12; }));
  EXPECT_GT(std::ranges::count(small.values(), 11u), 0);
  // A range just over half of 2^64 rejects about half the draws.
  const std::uint64_t low = 5;
  const std::uint64_t high = low + (std::uint64_t{1} << 63);
  const Matrix wide = Matrix::new_random(8, 64, low, high, 4);
  EXPECT_TRUE(std::ranges::all_of(wide.values(), [&](std::uint64_t v) { return v >= low && v <= high; }));
  EXPECT_NE(wide, Matrix::new_random(8, 64, 0, kMax, 4));
  // A range of three quarters of 2^64 rejects a quarter of the draws; without the rejection,
  // multiples of three would come up half the time instead of a third.
  const Matrix thirds = Matrix::new_random(16, 64, 0, 3 * (std::uint64_t{1} << 62) - 1, 5);
  EXPECT_LT(std::ranges::count_if(thirds.values(), [](std::uint64_t v) { return v % 3 == 0; }), 420);
  const Matrix single = Matrix::new_random(2, 2, 7, 7, 9);
  EXPECT_TRUE(std::ranges::all_of(single.values(), [](std::uint64_t v) { return v == 7; }));
}

TEST(Matrix, FromDataKeepsRowsInOrder) {
  const Matrix matrix = Matrix::from_data({{1, 2, 3}, {4, 5, 6}});
  EXPECT_EQ(matrix.nrows(), 2u);
  EXPECT_EQ(matrix.ncols(), 3u);
  EXPECT_EQ(matrix, Matrix::from_row_major(2, 3, {1, 2, 3, 4, 5, 6}));
}

void expect_fault(const std::function<void()>& action, const std::string& text) {
  try {
    action();
    ADD_FAILURE() << "no exception, expected: " << text;
  } catch (const std::logic_error& error) {
    EXPECT_EQ(error.what(), text);
  }
}

TEST(Matrix, BrokenInvariantsAreInternalFaults) {
  expect_fault([] { Matrix::from_data({}); }, "assertion failed: nrows > 0");
  expect_fault([] { Matrix::from_data({{}}); }, "assertion failed: ncols > 0");
  expect_fault([] { Matrix::from_data({{1, 2}, {3}}); }, "assertion failed: every row has ncols entries");
  expect_fault([] { Matrix::from_row_major(2, 2, {1, 2, 3}); }, "assertion failed: values.size() == nrows * ncols");
  expect_fault([] { Matrix::new_random(1, 0, 0, kMax, 1); }, "assertion failed: ncols > 0");
  expect_fault([] { Matrix::new_random(1, 1, 2, 1, 1); }, "Uniform::new_inclusive called with `low > high`");
  expect_fault([] { Matrix::new_random(kMax / 2, 4, 0, kMax, 1); }, "matrix size overflows");
}

TEST(ToyPublicMatrix, SeedOneGivesTheSharedEntries) {
  EXPECT_EQ(public_matrix_entry(1, 0, 0), 2298633409u);
  EXPECT_EQ(public_matrix_entry(1, 0, 1), 1380781559u);
  EXPECT_EQ(public_matrix_entry(1, 1, 0), 3690365641u);
}

}  // namespace
}  // namespace quorvex
