#include "client/shuffled_padding.hpp"

#include <set>
#include <utility>

#include "client/retrieval_padding.hpp"

namespace quorvex {

Result<ShuffledRecordIds> shuffled_retrieval_record_ids(std::span<const std::uint64_t> visible_ids,
                                                        std::uint64_t record_count, const RetrievalConfig& config,
                                                        EntropySource source) {
  // The deterministic padding checks the arguments; its padding ids are then replaced.
  const std::vector<std::uint64_t> checked = QV_TRY(padded_retrieval_record_ids(visible_ids, record_count, config));
  const std::set<std::uint64_t> hits(visible_ids.begin(), visible_ids.end());
  const bool all_hits = hits.size() >= record_count;
  ShuffledRecordIds shuffled;
  shuffled.record_ids.assign(visible_ids.begin(), visible_ids.end());
  while (shuffled.record_ids.size() < checked.size()) {
    const std::uint64_t candidate = QV_TRY(random_below(record_count, source));
    if (all_hits || !hits.contains(candidate)) shuffled.record_ids.push_back(candidate);
  }
  std::vector<std::uint64_t> order(shuffled.record_ids.size());  // order[p]: which entry goes to position p
  for (std::size_t p = 0; p < order.size(); ++p) order[p] = p;
  for (std::size_t p = order.size(); p > 1; --p) {
    std::swap(order[p - 1], order[QV_TRY(random_below(p, source))]);
  }
  std::vector<std::uint64_t> ids(order.size());
  shuffled.hit_positions.resize(visible_ids.size());
  for (std::size_t p = 0; p < order.size(); ++p) {
    ids[p] = shuffled.record_ids[order[p]];
    if (order[p] < visible_ids.size()) shuffled.hit_positions[order[p]] = p;
  }
  shuffled.record_ids = std::move(ids);
  return shuffled;
}

}  // namespace quorvex
