// The fusion of the two rankings of a hybrid search. The dense ranking's
// first row stays first: on labelled questions over real documentation the
// cosine search is the better of the two at rank one, and letting the words
// displace it lost more answers on new questions than it found. The rows
// after it rank by reciprocal rank fusion: a row's fused score is the sum,
// over the rankings that hold it, of 1 / (k + rank), its rank counted from
// 1; ties go by the row's rank in the dense ranking (a row it does not hold
// after those it does), then by record id. k = 1 rather than the 60 of deep
// result lists: only the first few rows are fetched, and a row that one
// ranking puts first should compete with one that both put a little lower
// (see bench/NOTES.md for what each choice measured).
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
