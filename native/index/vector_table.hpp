// The stored embedding vectors: row_count() rows of dimensions() finite
// 32-bit floats each.
//
// Layout: rows are grouped in blocks of kBlockRows rows; inside a block the
// values are interleaved by dimension (value 0 of each of the block's rows,
// then value 1 of each, ...). One SIMD register then holds one dimension of
// kBlockRows rows, so exact search can score kBlockRows rows at once while each
// row's sums still run strictly in position order. The last block holds only
// the rows that remain, interleaved the same way over its own rows, so the
// table holds exactly the values of its rows (a table of one long row is no
// larger than that row). The table starts on a cache line and every full block
// on a 32-byte boundary.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/aligned_allocator.hpp"
#include "core/error.hpp"

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
  // must fill the span with the next bytes or fail. No copy of the whole
  // file is ever held. Does not validate: the caller runs validate.
  template <class Read>
  static Result<VectorTable> read_little_endian(std::uint64_t dimensions, std::uint64_t count, Read&& read);

  // Dimensions greater than zero and every value finite (rows in order).
  Status validate() const;

  std::uint64_t dimensions() const { return dimensions_; }
  std::uint64_t row_count() const { return row_count_; }
  // Blocks of kBlockRows rows, then the last block of fewer rows if any.
  std::size_t full_block_count() const { return row_count_ / kBlockRows; }
  std::size_t block_count() const { return (row_count_ + kBlockRows - 1) / kBlockRows; }
  std::size_t block_rows(std::size_t b) const {
    return std::min<std::uint64_t>(kBlockRows, row_count_ - b * kBlockRows);
  }

  // Block b: value d of row b * kBlockRows + lane is at [d * block_rows(b) + lane].
  std::span<const float> block(std::size_t b) const {
    return std::span<const float>(values_.data() + b * dimensions_ * kBlockRows, dimensions_ * block_rows(b));
  }
  float value(std::uint64_t row, std::uint64_t d) const { return values_[position(row, d)]; }
  std::vector<float> row(std::uint64_t row) const;
  // True when no value of the table is NaN or infinite (noted as the values are written).
  bool all_finite() const { return non_finite_ == 0; }
  // Position in the row of its first NaN or infinite value, if any.
  std::optional<std::uint64_t> first_non_finite(std::uint64_t row) const;

 private:
  // A table whose values are still to be written.
  VectorTable(std::uint64_t dimensions, std::uint64_t row_count);
  // Stores the values from the `first_value`-th on (counting row after row)
  // from their little-endian bytes: whole blocks at once where the bytes hold
  // them, row by row otherwise.
  void fill_values(std::uint64_t first_value, std::span<const char> bytes);
  // Block b from the bytes of its rows, row after row.
  template <std::size_t Lanes>
  void fill_block(std::size_t b, const char* bytes);
  // Values of one row from position d on, from their bytes.
  void fill_row(std::uint64_t row, std::uint64_t d, std::uint64_t count, const char* bytes);
  std::size_t position(std::uint64_t row, std::uint64_t d) const {
    const std::uint64_t b = row / kBlockRows;
    return b * dimensions_ * kBlockRows + d * block_rows(b) + row % kBlockRows;
  }

  std::uint64_t dimensions_;
  std::uint64_t row_count_;
  AlignedVector<float> values_;
  std::uint32_t non_finite_ = 0;  // nonzero once a NaN or infinite value was written
};

template <class Read>
Result<VectorTable> VectorTable::read_little_endian(std::uint64_t dimensions, std::uint64_t count, Read&& read) {
  // Pieces of whole blocks where blocks are small, so that each is stored at once.
  constexpr std::uint64_t kPieceBytes = std::uint64_t{1} << 16;
  const std::uint64_t block_bytes = dimensions * kBlockRows * sizeof(float);
  VectorTable table(dimensions, count);
  const std::uint64_t total = table.values_.size() * sizeof(float);
  const std::uint64_t piece_bytes =
      block_bytes != 0 && block_bytes <= kPieceBytes ? kPieceBytes / block_bytes * block_bytes : kPieceBytes;
  std::vector<char> piece(static_cast<std::size_t>(std::min(piece_bytes, total)));
  for (std::uint64_t done = 0; done < total; done += piece.size()) {
    piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), total - done)));
    QV_TRY(read(std::span<char>(piece)));
    table.fill_values(done / sizeof(float), piece);
  }
  return table;
}

}  // namespace quorvex
