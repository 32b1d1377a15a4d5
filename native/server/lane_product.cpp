#include "server/lane_product.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>

#include "server/parallel_for.hpp"

namespace quorvex {

namespace {

constexpr std::size_t kGroup = FactorBlock::kGroup;

// A group of four vectors within one block.
struct GroupFactors {
  const std::uint64_t* values[kGroup];
};

// Adds the sums of a pair of rows with a group of vectors over n columns to
// out0 and out1 (four values each).
using RowPairKernel = void (*)(const std::uint16_t* row0, const std::uint16_t* row1, std::size_t n,
                               const GroupFactors& factors, std::uint64_t* out0, std::uint64_t* out1);

// Columns from `from` on, one at a time, with whole 64-bit products.
void add_columns(const std::uint16_t* row0, const std::uint16_t* row1, std::size_t from, std::size_t n,
                 const GroupFactors& factors, std::uint64_t* out0, std::uint64_t* out1) {
  for (std::size_t g = 0; g < kGroup; ++g) {
    const std::uint64_t* values = factors.values[g];
    std::uint64_t sum0 = 0, sum1 = 0;
    for (std::size_t c = from; c < n; ++c) {
      sum0 += row0[c] * values[c];
      sum1 += row1[c] * values[c];
    }
    out0[g] += sum0;
    out1[g] += sum1;
  }
}

void row_pair_portable(const std::uint16_t* row0, const std::uint16_t* row1, std::size_t n,
                       const GroupFactors& factors, std::uint64_t* out0, std::uint64_t* out1) {
  add_columns(row0, row1, 0, n, factors, out0, out1);
}

#if defined(__x86_64__)

// The sum of the lanes of v, read as 64-bit (Lane = std::uint64_t) or 32-bit lanes.
template <class Lane>
__attribute__((target("avx512f"))) Lane sum_avx512(__m512i v) {
  alignas(64) Lane lanes[64 / sizeof(Lane)];
  _mm512_store_si512(lanes, v);
  Lane sum = 0;
  for (const Lane lane : lanes) sum += lane;
  return sum;
}

// Sixteen columns per step. The low halves of the values times the lanes
// (vpmuludq, exact in 64 bits) are summed in 64-bit lanes; the high halves
// only matter modulo 2^32 (they are shifted left by 32), so they are packed
// into 32-bit lanes and multiplied sixteen at a time (vpmulld).
__attribute__((target("avx512f"))) void row_pair_avx512(const std::uint16_t* row0, const std::uint16_t* row1,
                                                       std::size_t n, const GroupFactors& factors,
                                                       std::uint64_t* out0, std::uint64_t* out1) {
  __m512i low0[kGroup], high0[kGroup], low1[kGroup], high1[kGroup];
#pragma GCC unroll 4
  for (std::size_t g = 0; g < kGroup; ++g) {
    low0[g] = high0[g] = low1[g] = high1[g] = _mm512_setzero_si512();
  }
  // Picks the odd 32-bit words (the high halves) of two vectors of 64-bit values.
  const __m512i odd_words = _mm512_set_epi32(31, 29, 27, 25, 23, 21, 19, 17, 15, 13, 11, 9, 7, 5, 3, 1);
  std::size_t c = 0;
  for (; c + 16 <= n; c += 16) {
    const __m256i raw0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0 + c));
    const __m256i raw1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1 + c));
    const __m512i lanes0a = _mm512_cvtepu16_epi64(_mm256_castsi256_si128(raw0));
    const __m512i lanes0b = _mm512_cvtepu16_epi64(_mm256_extracti128_si256(raw0, 1));
    const __m512i lanes1a = _mm512_cvtepu16_epi64(_mm256_castsi256_si128(raw1));
    const __m512i lanes1b = _mm512_cvtepu16_epi64(_mm256_extracti128_si256(raw1, 1));
    const __m512i wide0 = _mm512_cvtepu16_epi32(raw0);
    const __m512i wide1 = _mm512_cvtepu16_epi32(raw1);
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kGroup; ++g) {
      const __m512i value_a = _mm512_loadu_si512(factors.values[g] + c);
      const __m512i value_b = _mm512_loadu_si512(factors.values[g] + c + 8);
      const __m512i high = _mm512_permutex2var_epi32(value_a, odd_words, value_b);
      low0[g] = _mm512_add_epi64(low0[g], _mm512_add_epi64(_mm512_mul_epu32(lanes0a, value_a),
                                                           _mm512_mul_epu32(lanes0b, value_b)));
      low1[g] = _mm512_add_epi64(low1[g], _mm512_add_epi64(_mm512_mul_epu32(lanes1a, value_a),
                                                           _mm512_mul_epu32(lanes1b, value_b)));
      high0[g] = _mm512_add_epi32(high0[g], _mm512_mullo_epi32(wide0, high));
      high1[g] = _mm512_add_epi32(high1[g], _mm512_mullo_epi32(wide1, high));
    }
  }
#pragma GCC unroll 4
  for (std::size_t g = 0; g < kGroup; ++g) {
    out0[g] += sum_avx512<std::uint64_t>(low0[g]) + (std::uint64_t{sum_avx512<std::uint32_t>(high0[g])} << 32);
    out1[g] += sum_avx512<std::uint64_t>(low1[g]) + (std::uint64_t{sum_avx512<std::uint32_t>(high1[g])} << 32);
  }
  add_columns(row0, row1, c, n, factors, out0, out1);
}

__attribute__((target("avx2"))) std::uint64_t sum_avx2(__m256i v) {
  const __m128i pair = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(pair)) +
         static_cast<std::uint64_t>(_mm_extract_epi64(pair, 1));
}

// Four columns per step, one row at a time (sixteen registers hold one row's
// sums): each lane times the low and the high half of each value (vpmuludq),
// summed separately; low + (high << 32) is the wrapping sum.
__attribute__((target("avx2"))) void row_avx2(const std::uint16_t* row, std::size_t n,
                                             const GroupFactors& factors, std::uint64_t* out) {
  __m256i low[kGroup], high[kGroup];
#pragma GCC unroll 4
  for (std::size_t g = 0; g < kGroup; ++g) low[g] = high[g] = _mm256_setzero_si256();
  for (std::size_t c = 0; c + 4 <= n; c += 4) {
    const __m256i lanes = _mm256_cvtepu16_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + c)));
#pragma GCC unroll 4
    for (std::size_t g = 0; g < kGroup; ++g) {
      const __m256i value = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(factors.values[g] + c));
      const __m256i high_half = _mm256_srli_epi64(value, 32);
      low[g] = _mm256_add_epi64(low[g], _mm256_mul_epu32(lanes, value));
      high[g] = _mm256_add_epi64(high[g], _mm256_mul_epu32(lanes, high_half));
    }
  }
#pragma GCC unroll 4
  for (std::size_t g = 0; g < kGroup; ++g) out[g] += sum_avx2(low[g]) + (sum_avx2(high[g]) << 32);
}

__attribute__((target("avx2"))) void row_pair_avx2(const std::uint16_t* row0, const std::uint16_t* row1,
                                                  std::size_t n, const GroupFactors& factors,
                                                  std::uint64_t* out0, std::uint64_t* out1) {
  row_avx2(row0, n, factors, out0);
  row_avx2(row1, n, factors, out1);
  add_columns(row0, row1, n - n % 4, n, factors, out0, out1);
}

#endif

RowPairKernel row_pair_kernel(ProductKernel kernel) {
  switch (kernel) {
#if defined(__x86_64__)
    case ProductKernel::Avx512:
      return row_pair_avx512;
    case ProductKernel::Avx2:
      return row_pair_avx2;
#endif
    default:
      return row_pair_portable;
  }
}

// Columns per block: the block of every vector takes about 256 KiB, which
// stays in the second-level cache.
std::size_t block_columns(std::size_t padded_vectors) {
  constexpr std::size_t kBlockBytes = 256 * 1024;
  const std::size_t columns = kBlockBytes / (8 * padded_vectors);
  return std::max<std::size_t>(64, columns - columns % 16);
}

}  // namespace

ProductKernel fastest_product_kernel() {
  static const ProductKernel fastest = [] {
    for (const ProductKernel kernel : {ProductKernel::Avx512, ProductKernel::Avx2}) {
      if (product_kernel_available(kernel)) return kernel;
    }
    return ProductKernel::Portable;
  }();
  return fastest;
}

bool product_kernel_available(ProductKernel kernel) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (kernel == ProductKernel::Avx512) return __builtin_cpu_supports("avx512f");
  if (kernel == ProductKernel::Avx2) return __builtin_cpu_supports("avx2");
#endif
  return kernel == ProductKernel::Portable;
}

FactorBlock::FactorBlock(std::size_t vector_count, std::size_t capacity)
    : vector_count_(vector_count),
      padded_count_((vector_count + kGroup - 1) / kGroup * kGroup),
      capacity_(capacity),
      values_(padded_count_ * capacity, 0) {}

void accumulate_lane_products(const LaneRows& rows, const FactorBlock& block, std::span<std::uint64_t> out,
                              ProductKernel kernel) {
  const RowPairKernel row_pair = row_pair_kernel(kernel);
  const std::size_t width = block.padded_count();
  std::uint64_t spare[kGroup];
  for (std::size_t r = 0; r < rows.row_count; r += 2) {
    const std::uint16_t* row0 = rows.first + r * rows.row_stride;
    const bool pair = r + 1 < rows.row_count;
    const std::uint16_t* row1 = pair ? row0 + rows.row_stride : row0;
    for (std::size_t group = 0; group < width; group += kGroup) {
      GroupFactors factors{};
      for (std::size_t g = 0; g < kGroup; ++g) factors.values[g] = block.values(group + g);
      std::fill_n(spare, kGroup, 0);
      std::uint64_t* out1 = pair ? &out[(r + 1) * width + group] : spare;
      row_pair(row0, row1, block.length(), factors, &out[r * width + group], out1);
    }
  }
}

std::vector<std::uint64_t> lane_products(const LaneRows& rows, std::size_t column_count, std::size_t vector_count,
                                         unsigned threads, const FillFactors& fill, ProductKernel kernel) {
  const std::size_t padded = (vector_count + kGroup - 1) / kGroup * kGroup;
  const std::size_t block = block_columns(padded);
  // Each thread takes a contiguous range of whole blocks and sums into its own rows.
  const std::size_t blocks = (column_count + block - 1) / block;
  const std::size_t workers = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(blocks, 1));
  std::vector<std::vector<std::uint64_t>> sums(workers, std::vector<std::uint64_t>(rows.row_count * padded, 0));
  parallel_for(blocks, static_cast<unsigned>(workers), [&](std::size_t worker, std::size_t first_block,
                                                           std::size_t last_block) {
    FactorBlock factors(vector_count, block);
    for (std::size_t b = first_block; b < last_block; ++b) {
      const std::size_t first = b * block;
      factors.reset(std::min(block, column_count - first));
      fill(factors, first);
      LaneRows part = rows;
      part.first += first;
      accumulate_lane_products(part, factors, sums[worker], kernel);
    }
  });

  std::vector<std::uint64_t> out(rows.row_count * vector_count, 0);
  for (std::size_t r = 0; r < rows.row_count; ++r) {
    for (std::size_t k = 0; k < vector_count; ++k) {
      for (const auto& partial : sums) out[r * vector_count + k] += partial[r * padded + k];
    }
  }
  return out;
}

}  // namespace quorvex
