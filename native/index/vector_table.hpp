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
#include <algorithm>
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

  // The same table with the stored bytes read piece by piece: `read(span)`
  // must fill the span with the next bytes (whole rows) or fail. No copy of
  // the whole file is ever held. Does not validate: the caller runs validate.
  template <class Read>
  static Result<VectorTable> read_little_endian(std::uint64_t dimensions, std::uint64_t count, Read&& read);

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
  // A table whose real rows are still to be written (padding rows zero).
  VectorTable(std::uint64_t dimensions, std::uint64_t row_count);
  // Stores rows first_row, first_row + 1, ... from their little-endian bytes.
  void fill_rows(std::uint64_t first_row, std::span<const char> bytes);
  std::size_t position(std::uint64_t row, std::uint64_t d) const {
    return (row / kBlockRows) * dimensions_ * kBlockRows + d * kBlockRows + row % kBlockRows;
  }

  std::uint64_t dimensions_;
  std::uint64_t row_count_;
  std::size_t block_count_;
  std::vector<float, AlignedAllocator<float>> values_;
};

template <class Read>
Result<VectorTable> VectorTable::read_little_endian(std::uint64_t dimensions, std::uint64_t count, Read&& read) {
  constexpr std::uint64_t kPieceBytes = std::uint64_t{1} << 16;
  VectorTable table(dimensions, count);
  const std::uint64_t row_bytes = dimensions * sizeof(float);
  const std::uint64_t rows_per_piece = row_bytes == 0 ? count : std::max<std::uint64_t>(1, kPieceBytes / row_bytes);
  std::vector<char> piece;
  for (std::uint64_t first = 0; first < count && row_bytes != 0; first += rows_per_piece) {
    const std::uint64_t rows = std::min(rows_per_piece, count - first);
    piece.resize(static_cast<std::size_t>(rows * row_bytes));
    QV_TRY(read(std::span<char>(piece)));
    table.fill_rows(first, piece);
  }
  return table;
}

}  // namespace quorvex
