#include "index/ranking.hpp"

#include <algorithm>
#include <cmath>

namespace quorvex {

bool ranks_before(const RankedRow& a, const RankedRow& b) {
  if (a.score > b.score) return true;
  if (a.score < b.score) return false;
  const bool a_nan = std::isnan(a.score);
  const bool b_nan = std::isnan(b.score);
  if (a_nan != b_nan) return b_nan;
  return a.record_id < b.record_id;
}

SecretVector<RankedRow> select_top_k(std::span<const float> scores, std::span<const std::uint64_t> record_ids,
                                     std::uint64_t k) {
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, scores.size()));
  SecretVector<RankedRow> best;
  if (keep == 0) return best;
  best.reserve(keep);
  // A heap whose front is the worst row kept so far; a new row enters only if it ranks before that one.
  for (std::size_t i = 0; i < scores.size(); ++i) {
    const RankedRow candidate{scores[i], record_ids[i], i};
    if (best.size() < keep) {
      best.push_back(candidate);
      std::push_heap(best.begin(), best.end(), ranks_before);
    } else if (ranks_before(candidate, best.front())) {
      std::pop_heap(best.begin(), best.end(), ranks_before);
      best.back() = candidate;
      std::push_heap(best.begin(), best.end(), ranks_before);
    }
  }
  std::sort_heap(best.begin(), best.end(), ranks_before);
  return best;
}

}  // namespace quorvex
