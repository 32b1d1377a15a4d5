// Exact cosine similarity of a query against every stored row, reproducible
// bit for bit: every product and every sum is rounded to a 32-bit float and
// each row's sums run in position order, with no fused multiply-add:
//   dot = Σ q[j]·r[j], qq = Σ q[j]², rr = Σ r[j]²   (j = 0, 1, ...)
//   score = 0 if qq = 0 or rr = 0, else dot / (√qq · √rr)
// √rr of every row is computed once when the index is loaded and √qq once per
// query; both are the same sequential sums every time.
//
// The row loop is vectorised across rows, not along them: each SIMD lane
// carries one row of a VectorTable block through the scalar sequence.
#pragma once

#include <span>
#include <vector>

#include "index/vector_table.hpp"

namespace quorvex {

enum class ScoreKernel {
  Portable,  // plain C++, any processor
  Avx2,      // 8 rows per instruction; only where the processor has AVX2
  Avx512,    // 16 rows per instruction; only where the processor has AVX-512F
};

// The widest kernel the running processor supports.
ScoreKernel fastest_score_kernel();
// The kernel measured fastest for this table on the running processor: the
// AVX-512 kernel streams twelve blocks at once, which pays off only once the
// table no longer fits the caches (it is slower on small tables).
ScoreKernel score_kernel_for(const VectorTable& table);
bool score_kernel_available(ScoreKernel kernel);

// √rr of every row of the table, in row order.
std::vector<float> row_norms(const VectorTable& table);

// Writes the score of every row, in row order, to `scores`. `query` has
// table.dimensions() values; `norms` and `scores` have table.row_count() entries.
void cosine_scores(const VectorTable& table, std::span<const float> norms, std::span<const float> query,
                   std::span<float> scores, ScoreKernel kernel = fastest_score_kernel());

}  // namespace quorvex
