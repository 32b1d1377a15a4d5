// Reciprocal rank fusion of the two rankings of a hybrid search: a row's
// fused score is the sum, over the rankings that hold it, of 1 / (k + rank),
// its rank counted from 1. Rows rank by fused score, then by their rank in
// the dense ranking (a row it does not hold after those it does), then by
// record id. k = 1 rather than the 60 of deep result lists: only the first
// few fused rows are fetched, and a row that one ranking puts first should
// compete with one that both put a little lower (measured on labelled
// questions over two documentation sets; see bench/NOTES.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/secret_vector.hpp"
#include "index/ranking.hpp"

namespace quorvex {

inline constexpr double kFusionK = 1;
// How deep into each ranking the fusion looks.
inline constexpr std::uint64_t kFusionDepth = 100;

// The positions (RankedRow::row) of the best top_k rows of the fused ranking,
// in memory wiped when freed.
SecretVector<std::size_t> fused_rows(std::span<const RankedRow> dense, std::span<const RankedRow> lexical,
                                    std::uint64_t top_k);

}  // namespace quorvex
