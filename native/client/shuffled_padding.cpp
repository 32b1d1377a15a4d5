#include "client/shuffled_padding.hpp"

#include <algorithm>
#include <utility>

#include "client/retrieval_padding.hpp"

namespace quorvex {

Result<ShuffledRecordIds> shuffled_retrieval_record_ids(std::span<const std::uint64_t> visible_ids,
                                                        std::uint64_t record_count, const RetrievalConfig& config,
                                                        EntropySource source) {
  // The deterministic padding checks the arguments; its padding ids are then replaced.
  const SecretVector<std::uint64_t> checked = QV_TRY(padded_retrieval_record_ids(visible_ids, record_count, config));
  SecretVector<std::uint64_t> hits(visible_ids.begin(), visible_ids.end());  // distinct, ascending
  std::ranges::sort(hits);
  hits.erase(std::unique(hits.begin(), hits.end()), hits.end());
  const bool all_hits = hits.size() >= record_count;
  SecretVector<std::uint64_t> drawn(visible_ids.begin(), visible_ids.end());
  while (drawn.size() < checked.size()) {
    const std::uint64_t candidate = QV_TRY(random_below(record_count, source));
    if (all_hits || !std::ranges::binary_search(hits, candidate)) drawn.push_back(candidate);
  }
  SecretVector<std::uint64_t> order(drawn.size());  // order[p]: which entry goes to position p
  for (std::size_t p = 0; p < order.size(); ++p) order[p] = p;
  for (std::size_t p = order.size(); p > 1; --p) {
    std::swap(order[p - 1], order[QV_TRY(random_below(p, source))]);
  }
  ShuffledRecordIds shuffled;
  shuffled.record_ids.resize(order.size());
  shuffled.hit_positions.resize(visible_ids.size());
  for (std::size_t p = 0; p < order.size(); ++p) {
    shuffled.record_ids[p] = drawn[order[p]];
    if (order[p] < visible_ids.size()) shuffled.hit_positions[order[p]] = p;
  }
  return shuffled;
}

}  // namespace quorvex
