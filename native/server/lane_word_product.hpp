// Products of 16-bit lane rows with vectors of 32-bit words, wrapping modulo
// 2^32, each lane taken less an offset:
//   out[r][k] = sum over columns c of (row_r[c] - lane_offset) * vector_k[c].
//
// The balanced client hint is such a product: it needs only 32-bit sums, so
// it does not take lane_products' exact 64-bit ones. Each word a is split
// into two signed 16-bit halves, a = lo + 2^16 hi modulo 2^32, and the
// kernels sum lane * lo and lane * hi in 32-bit lanes, two columns per
// multiply-add (vpdpwssd, vpmaddwd), which reads the lanes as signed: a tile
// of rows whose lanes are not all below 2^15 is computed by the portable
// kernel, which takes any lane. The offset comes off at the end, as
// lane_offset times the sum of each vector.
//
// The columns are taken in blocks. fill writes a block's values column by
// column (column c holds value c of every vector, as the rows of a matrix
// whose columns are the vectors); the block is laid out for the kernels in
// pairs of columns and stays in the second-level cache while the rows are
// multiplied with it. Threads split the rows, each filling every block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "server/lane_product.hpp"

namespace quorvex {

enum class WordProductKernel {
  Portable,    // plain C++, any processor
  Avx2,        // vpmaddwd, eight vectors per instruction; only where the processor has AVX2
  Avx512Vnni,  // vpdpwssd, sixteen vectors per instruction; only where the processor has AVX512_VNNI
};

// The widest kernel the running processor supports.
WordProductKernel fastest_word_product_kernel();
bool word_product_kernel_available(WordProductKernel kernel);

// Writes columns first_column .. first_column + values.size() / vector_count - 1:
// the vector_count values of each column, column after column.
using FillWords = std::function<void(std::span<std::uint32_t> values, std::size_t first_column)>;

// The products over `column_count` columns for `vector_count` vectors, with
// up to `threads` threads: row_count x vector_count values, row-major.
std::vector<std::uint32_t> lane_word_products(const LaneRows& rows, std::size_t column_count,
                                              std::size_t vector_count, std::uint32_t lane_offset, unsigned threads,
                                              const FillWords& fill,
                                              WordProductKernel kernel = fastest_word_product_kernel());

}  // namespace quorvex
