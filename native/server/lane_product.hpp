// Products of 16-bit lane rows with vectors of 64-bit values, wrapping
// modulo 2^64: out[r][k] = sum over columns c of row_r[c] * vector_k[c].
//
// The columns are taken in blocks; each block of every vector is first laid
// out for the kernel (a FactorBlock), then every row is multiplied with it,
// so the lane data is read once from memory and the block stays in cache.
// Threads split the columns into contiguous ranges and their sums are added.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace quorvex {

struct LaneRows {
  const std::uint16_t* first = nullptr;  // row 0, column 0
  std::size_t row_count = 0;
  std::size_t row_stride = 0;  // values from the start of one row to the next
};

// One block of consecutive columns of every factor vector, each vector's
// columns contiguous.
class FactorBlock {
 public:
  static constexpr std::size_t kGroup = 4;  // vectors the kernel takes at once

  FactorBlock(std::size_t vector_count, std::size_t capacity);

  std::size_t vector_count() const { return vector_count_; }
  std::size_t capacity() const { return capacity_; }
  std::size_t length() const { return length_; }

  // Starts a block of `length` columns (at most capacity); every column of
  // every vector must then be set.
  void reset(std::size_t length) { length_ = length; }
  void set(std::size_t vector, std::size_t column, std::uint64_t value) { values_[vector * capacity_ + column] = value; }

  const std::uint64_t* values(std::size_t vector) const { return values_.data() + vector * capacity_; }
  // Vectors rounded up to whole groups; the extra vectors are zero.
  std::size_t padded_count() const { return padded_count_; }

 private:
  std::size_t vector_count_;
  std::size_t padded_count_;
  std::size_t capacity_;
  std::size_t length_ = 0;
  std::vector<std::uint64_t> values_;
};

enum class ProductKernel {
  Portable,  // plain C++, any processor
  Avx2,      // four columns per instruction; only where the processor has AVX2
  Avx512,    // eight to sixteen columns per instruction; only where the processor has AVX-512F
};

// The widest kernel the running processor supports.
ProductKernel fastest_product_kernel();
bool product_kernel_available(ProductKernel kernel);

// Adds the products of the rows' first block.length() columns with the block
// to out (row_count x padded_count values, row-major).
void accumulate_lane_products(const LaneRows& rows, const FactorBlock& block, std::span<std::uint64_t> out,
                              ProductKernel kernel = fastest_product_kernel());

// Sets columns first_column .. first_column + block.length() - 1 of every vector.
using FillFactors = std::function<void(FactorBlock& block, std::size_t first_column)>;

// The products over `column_count` columns for `vector_count` vectors, with
// up to `threads` threads: row_count x vector_count values, row-major.
std::vector<std::uint64_t> lane_products(const LaneRows& rows, std::size_t column_count, std::size_t vector_count,
                                         unsigned threads, const FillFactors& fill,
                                         ProductKernel kernel = fastest_product_kernel());

}  // namespace quorvex
