// The stored embedding vectors: row_count() rows of dimensions() finite
// 32-bit floats each.
//
// Layout: rows are grouped in blocks of kBlockRows rows; inside a block the
// values are interleaved by dimension (value 0 of each of the block's rows,
// then value 1 of each, ...). One SIMD register then holds one dimension of
// kBlockRows rows, so exact search can score kBlockRows rows at once while each
// row's sums still run strictly in position order. The last block is padded
// with rows of zeros; blocks start on a cache line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "index/aligned_allocator.hpp"

namespace quorvex {

class VectorTable {
 public:
  static constexpr std::size_t kBlockRows = 8;

  // A table from one list per row. Fails on dimensions 0, then for each row in
  // order on its first non-finite value, then on a length other than dimensions.
  static Result<VectorTable> create(std::uint64_t dimensions, std::span<const std::vector<float>> rows);

  // A table from `count` rows of `dimensions` little-endian floats stored row
  // after row; `bytes` holds exactly count * dimensions * 4 bytes. Runs validate.
  static Result<VectorTable> from_little_endian(std::uint64_t dimensions, std::uint64_t count,
                                                std::span<const char> bytes);

  // Dimensions greater than zero and every value finite (rows in order).
  Status validate() const;

  std::uint64_t dimensions() const { return dimensions_; }
  std::uint64_t row_count() const { return row_count_; }
  std::size_t block_count() const { return block_count_; }

  // Block b: value d of row b * kBlockRows + lane is at [d * kBlockRows + lane].
  std::span<const float> block(std::size_t b) const {
    const std::size_t size = dimensions_ * kBlockRows;
    return std::span<const float>(values_.data() + b * size, size);
  }
  float value(std::uint64_t row, std::uint64_t d) const { return values_[position(row, d)]; }
  std::vector<float> row(std::uint64_t row) const;
  // True when no value of the table is NaN or infinite (one vectorised pass).
  bool all_finite() const;
  // Position in the row of its first NaN or infinite value, if any.
  std::optional<std::uint64_t> first_non_finite(std::uint64_t row) const;

 private:
  // A zero-filled table.
  VectorTable(std::uint64_t dimensions, std::uint64_t row_count);
  std::size_t position(std::uint64_t row, std::uint64_t d) const {
    return (row / kBlockRows) * dimensions_ * kBlockRows + d * kBlockRows + row % kBlockRows;
  }

  std::uint64_t dimensions_;
  std::uint64_t row_count_;
  std::size_t block_count_;
  std::vector<float, AlignedAllocator<float>> values_;
};

}  // namespace quorvex
