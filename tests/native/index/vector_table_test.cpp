#include "index/vector_table.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "index/random_vectors.hpp"

namespace quorvex {
namespace {

using Rows = std::vector<std::vector<float>>;

std::string error_of(const Result<VectorTable>& table) {
  return table.has_value() ? "no error" : table.error().display();
}

// Built from rows, and read from little-endian bytes in pieces that split
// rows (20000 values do not fit one piece), every row reads back as stored.
TEST(VectorTable, RowsReadBackAcrossBlockAndPieceBoundaries) {
  for (const auto& [rows, dimensions] : {std::pair<std::size_t, std::size_t>{1, 5}, {7, 5}, {8, 5}, {9, 5},
                                        {17, 5}, {3, 20000}, {9, 20000}}) {
    const std::vector<float> values = testing::random_row_major(rows, dimensions, 3);
    const Rows split = testing::split_rows(values, dimensions);
    const char* bytes = reinterpret_cast<const char*>(values.data());
    const auto read = [&bytes](std::span<char> piece) -> Status {
      std::copy_n(bytes, piece.size(), piece.data());
      bytes += piece.size();
      return {};
    };
    for (const VectorTable& table : {VectorTable::create(dimensions, split).value(),
                                     VectorTable::read_little_endian(dimensions, rows, read).value()}) {
      EXPECT_EQ(table.row_count(), rows);
      EXPECT_EQ(table.block_count(), (rows + 7) / 8);
      for (std::size_t r = 0; r < rows; ++r) ASSERT_EQ(table.row(r), split[r]) << rows << "x" << dimensions;
    }
  }
}

struct Invalid {
  std::string name;
  std::uint64_t dimensions;
  Rows rows;
  std::string error;
};

class InvalidTable : public ::testing::TestWithParam<Invalid> {};

TEST_P(InvalidTable, IsRefusedWithItsMessage) {
  EXPECT_EQ(error_of(VectorTable::create(GetParam().dimensions, GetParam().rows)), GetParam().error);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Rules, InvalidTable,
    ::testing::Values(
        Invalid{"zero_dimensions", 0, {{}}, "format error: vector table dimensions must be greater than zero"},
        Invalid{"nan_names_position_in_row",
                3,
                {{1, 2, 3}, {1, kNaN, 3}},
                "format error: vector table row has non-finite value at dimension 1"},
        // Within a row the values are checked before its length.
        Invalid{"non_finite_before_length", 2, {{1, 2, kInf}}, "format error: vector table row has non-finite value at dimension 2"},
        Invalid{"short_row", 3, {{1, 2, 3}, {1, 2}}, "format error: vector at row 1 has 2 dimensions, expected 3"},
        Invalid{"rows_in_order", 2, {{1}, {kNaN, 0}}, "format error: vector at row 0 has 1 dimensions, expected 2"}),
    [](const auto& param) { return param.param.name; });

TEST(VectorTable, FromLittleEndianWithZeroDimensionsAllocatesNoRows) {
  // 2^60 empty rows: only the row count is recorded, and the table is refused.
  const auto table = VectorTable::from_little_endian(0, std::uint64_t{1} << 60, {});
  EXPECT_EQ(error_of(table), "format error: vector table dimensions must be greater than zero");
}

}  // namespace
}  // namespace quorvex
