#include "index/rank_fusion.hpp"

#include <algorithm>
#include <limits>
#include <unordered_map>

namespace quorvex {

SecretVector<std::size_t> fused_rows(std::span<const RankedRow> dense, std::span<const RankedRow> lexical,
                                    std::uint64_t top_k) {
  struct Fused {
    double score = 0;
    std::size_t dense_rank = std::numeric_limits<std::size_t>::max();
    std::uint64_t record_id = 0;
    std::size_t row = 0;
  };
  // What the question matched: every table here is wiped when freed.
  std::unordered_map<std::size_t, Fused, std::hash<std::size_t>, std::equal_to<>,
                     WipingAllocator<std::pair<const std::size_t, Fused>>>
      by_row;
  for (std::size_t rank = 0; rank < dense.size(); ++rank) {
    Fused& fused = by_row[dense[rank].row];
    fused.score += 1 / (kFusionK + static_cast<double>(rank + 1));
    fused.dense_rank = rank;
    fused.record_id = dense[rank].record_id;
    fused.row = dense[rank].row;
  }
  for (std::size_t rank = 0; rank < lexical.size(); ++rank) {
    Fused& fused = by_row[lexical[rank].row];
    fused.score += 1 / (kFusionK + static_cast<double>(rank + 1));
    fused.record_id = lexical[rank].record_id;
    fused.row = lexical[rank].row;
  }
  SecretVector<Fused> ranked;
  ranked.reserve(by_row.size());
  for (const auto& [row, fused] : by_row) ranked.push_back(fused);
  const auto before = [](const Fused& a, const Fused& b) {
    if ((a.dense_rank == 0) != (b.dense_rank == 0)) return a.dense_rank == 0;
    if (a.score != b.score) return a.score > b.score;
    if (a.dense_rank != b.dense_rank) return a.dense_rank < b.dense_rank;
    return a.record_id < b.record_id;
  };
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(top_k, ranked.size()));
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep), ranked.end(), before);
  SecretVector<std::size_t> rows(keep);
  for (std::size_t i = 0; i < keep; ++i) rows[i] = ranked[i].row;
  return rows;
}

}  // namespace quorvex
