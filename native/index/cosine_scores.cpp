// Compiled with -ffp-contract=off (see CMakeLists.txt): a product followed by
// a sum must never become one fused multiply-add, whose single rounding would
// change the scores.
#include "index/cosine_scores.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUORVEX_HAVE_AVX2_KERNEL 1
#endif

namespace quorvex {

namespace {

constexpr std::size_t kLanes = VectorTable::kBlockRows;
using LaneSums = std::array<float, kLanes>;

// Σ v[j]² in position order, in 32-bit floats.
float sequential_squared_norm(std::span<const float> values) {
  float sum = 0.0f;
  for (const float value : values) {
    const float square = value * value;
    sum = sum + square;
  }
  return sum;
}

// Dot products of the query with the `lanes` rows of one block, written to
// out[0], out[1], ... `lanes` is kLanes as a constant for full blocks (so the
// lane loop compiles to fixed-width vector code) and the row count of the
// shorter last block otherwise.
template <class Lanes>
void block_dots_portable(const float* block, std::span<const float> query, Lanes lanes, float* out) {
  LaneSums dot{};
  for (std::size_t d = 0; d < query.size(); ++d) {
    const float q = query[d];
    const float* values = block + d * lanes;
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      const float product = q * values[lane];
      dot[lane] = dot[lane] + product;
    }
  }
  std::copy(dot.begin(), dot.begin() + static_cast<std::ptrdiff_t>(lanes), out);
}

// The norms of the `lanes` rows of one block (kLanes as a constant for full
// blocks, as in block_dots_portable), written to out[0], out[1], ...
template <class Lanes>
void block_norms(const float* block, std::size_t dimensions, Lanes lanes, float* out) {
  LaneSums sum{};
  for (std::size_t d = 0; d < dimensions; ++d) {
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      const float value = block[d * lanes + lane];
      const float square = value * value;
      sum[lane] = sum[lane] + square;
    }
  }
  for (std::size_t lane = 0; lane < lanes; ++lane) out[lane] = std::sqrt(sum[lane]);
}

// Blocks from `b` on, one at a time.
void dots_portable(const VectorTable& table, std::span<const float> query, std::span<float> dots,
                   std::size_t b = 0) {
  for (; b < table.full_block_count(); ++b) {
    block_dots_portable(table.block(b).data(), query, std::integral_constant<std::size_t, kLanes>{},
                        dots.data() + b * kLanes);
  }
  if (b < table.block_count()) {
    block_dots_portable(table.block(b).data(), query, table.block_rows(b), dots.data() + b * kLanes);
  }
}

#ifdef QUORVEX_HAVE_AVX2_KERNEL
// Four blocks at a time: four independent chains of additions keep the adder
// busy while each lane still adds its terms one after another. Starts at block `b`.
__attribute__((target("avx2"))) void dots_avx2(const VectorTable& table, std::span<const float> query,
                                                std::span<float> dots, std::size_t b = 0) {
  const std::size_t dimensions = query.size();
  const std::size_t blocks = table.full_block_count();
  for (; b + 4 <= blocks; b += 4) {
    const float* p0 = table.block(b).data();
    const float* p1 = table.block(b + 1).data();
    const float* p2 = table.block(b + 2).data();
    const float* p3 = table.block(b + 3).data();
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
    for (std::size_t d = 0; d < dimensions; ++d) {
      const __m256 q = _mm256_broadcast_ss(&query[d]);
      const std::size_t at = d * kLanes;
      s0 = _mm256_add_ps(s0, _mm256_mul_ps(q, _mm256_load_ps(p0 + at)));
      s1 = _mm256_add_ps(s1, _mm256_mul_ps(q, _mm256_load_ps(p1 + at)));
      s2 = _mm256_add_ps(s2, _mm256_mul_ps(q, _mm256_load_ps(p2 + at)));
      s3 = _mm256_add_ps(s3, _mm256_mul_ps(q, _mm256_load_ps(p3 + at)));
    }
    float* out = dots.data() + b * kLanes;
    _mm256_storeu_ps(out, s0);
    _mm256_storeu_ps(out + kLanes, s1);
    _mm256_storeu_ps(out + 2 * kLanes, s2);
    _mm256_storeu_ps(out + 3 * kLanes, s3);
  }
  for (; b < blocks; ++b) {
    const float* p = table.block(b).data();
    __m256 s = _mm256_setzero_ps();
    for (std::size_t d = 0; d < dimensions; ++d) {
      s = _mm256_add_ps(s, _mm256_mul_ps(_mm256_broadcast_ss(&query[d]), _mm256_load_ps(p + d * kLanes)));
    }
    _mm256_storeu_ps(dots.data() + b * kLanes, s);
  }
  dots_portable(table, query, dots, b);  // the shorter last block
}

// Two blocks per 16-lane register and six registers: twelve blocks (96 rows)
// at a time, enough independent chains to cover the adder's latency. Each
// lane still runs its row's exact sequence of rounded products and sums.
constexpr std::size_t kAvx512Blocks = 12;

__attribute__((target("avx512f"))) __m512 two_blocks(const float* first, const float* second) {
  const __m512d low = _mm512_castps_pd(_mm512_castps256_ps512(_mm256_load_ps(first)));
  return _mm512_castpd_ps(_mm512_insertf64x4(low, _mm256_castps_pd(_mm256_load_ps(second)), 1));
}

__attribute__((target("avx512f"))) void dots_avx512(const VectorTable& table, std::span<const float> query,
                                                    std::span<float> dots) {
  constexpr std::size_t kRegisters = kAvx512Blocks / 2;
  const std::size_t dimensions = query.size();
  const std::size_t blocks = table.full_block_count();
  std::size_t b = 0;
  for (; b + kAvx512Blocks <= blocks; b += kAvx512Blocks) {
    std::array<const float*, kAvx512Blocks> p;
    for (std::size_t k = 0; k < kAvx512Blocks; ++k) p[k] = table.block(b + k).data();
    __m512 sums[kRegisters];
    for (__m512& sum : sums) sum = _mm512_setzero_ps();
    for (std::size_t d = 0; d < dimensions; ++d) {
      const __m512 q = _mm512_set1_ps(query[d]);
      const std::size_t at = d * kLanes;
      for (std::size_t r = 0; r < kRegisters; ++r) {
        sums[r] = _mm512_add_ps(sums[r], _mm512_mul_ps(q, two_blocks(p[2 * r] + at, p[2 * r + 1] + at)));
      }
    }
    float* out = dots.data() + b * kLanes;
    for (std::size_t r = 0; r < kRegisters; ++r) _mm512_storeu_ps(out + 16 * r, sums[r]);
  }
  dots_avx2(table, query, dots, b);
}
#endif

}  // namespace

bool score_kernel_available(ScoreKernel kernel) {
  switch (kernel) {
    case ScoreKernel::Portable:
      return true;
    case ScoreKernel::Avx2:
#ifdef QUORVEX_HAVE_AVX2_KERNEL
      return __builtin_cpu_supports("avx2");
#else
      return false;
#endif
    case ScoreKernel::Avx512:
#ifdef QUORVEX_HAVE_AVX2_KERNEL
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f");
#else
      return false;
#endif
  }
  return false;
}

ScoreKernel fastest_score_kernel() {
  static const ScoreKernel fastest = score_kernel_available(ScoreKernel::Avx512) ? ScoreKernel::Avx512
                                     : score_kernel_available(ScoreKernel::Avx2) ? ScoreKernel::Avx2
                                                                                 : ScoreKernel::Portable;
  return fastest;
}

std::vector<float> row_norms(const VectorTable& table) {
  std::vector<float> norms(table.row_count());
  std::size_t b = 0;
  for (; b < table.full_block_count(); ++b) {
    block_norms(table.block(b).data(), table.dimensions(), std::integral_constant<std::size_t, kLanes>{},
                norms.data() + b * kLanes);
  }
  if (b < table.block_count()) {
    block_norms(table.block(b).data(), table.dimensions(), table.block_rows(b), norms.data() + b * kLanes);
  }
  return norms;
}

ScoreKernel score_kernel_for(const VectorTable& table) {
  constexpr std::uint64_t kAvx512MinimumRows = 32768;
  const ScoreKernel fastest = fastest_score_kernel();
  if (fastest == ScoreKernel::Avx512 && table.row_count() < kAvx512MinimumRows) return ScoreKernel::Avx2;
  return fastest;
}

void cosine_scores(const VectorTable& table, std::span<const float> norms, std::span<const float> query,
                   std::span<float> scores, ScoreKernel kernel) {
  // The dot products first, then each turned into its score in place.
#ifdef QUORVEX_HAVE_AVX2_KERNEL
  if (kernel == ScoreKernel::Avx512 && score_kernel_available(kernel)) {
    dots_avx512(table, query, scores);
  } else if (kernel == ScoreKernel::Avx2 && score_kernel_available(kernel)) {
    dots_avx2(table, query, scores);
  } else {
    dots_portable(table, query, scores);
  }
#else
  (void)kernel;
  dots_portable(table, query, scores);
#endif
  const float query_norm = std::sqrt(sequential_squared_norm(query));
  for (std::size_t i = 0; i < table.row_count(); ++i) {
    if (query_norm == 0.0f || norms[i] == 0.0f) {
      scores[i] = 0.0f;
    } else {
      const float denominator = query_norm * norms[i];
      scores[i] = scores[i] / denominator;
    }
  }
}

}  // namespace quorvex
