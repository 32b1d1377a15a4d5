#include "client/retrieval_padding.hpp"

#include <algorithm>

#include "core/text.hpp"

namespace quorvex {

Result<SecretVector<std::uint64_t>> padded_retrieval_record_ids(std::span<const std::uint64_t> visible_ids,
                                                                std::uint64_t record_count,
                                                                const RetrievalConfig& config) {
  QV_TRY(config.validate());
  const std::uint64_t wanted = config.retrieval_count;
  if (record_count == 0) return format_error("cannot pad PIR retrieval for an empty record store");
  if (visible_ids.size() > wanted) {
    return format_error(concat("selected record count ", visible_ids.size(), " exceeds retrieval_count ", wanted));
  }
  for (const std::uint64_t id : visible_ids) {
    if (id >= record_count) return std::unexpected(QuorvexError::record_out_of_range(id, record_count));
  }
  // The distinct hits in ascending order: an ordered set with logarithmic
  // lookups, in memory that is wiped when it is freed.
  SecretVector<std::uint64_t> excluded(visible_ids.begin(), visible_ids.end());
  std::ranges::sort(excluded);
  excluded.erase(std::unique(excluded.begin(), excluded.end()), excluded.end());
  SecretVector<std::uint64_t> padded(visible_ids.begin(), visible_ids.end());
  padded.reserve(wanted);
  const bool exclusion_full = excluded.size() >= record_count;
  for (std::uint64_t candidate = 0; padded.size() < wanted; candidate = candidate + 1 == record_count ? 0 : candidate + 1) {
    if (!exclusion_full && std::ranges::binary_search(excluded, candidate)) continue;
    padded.push_back(candidate);
  }
  return padded;
}

}  // namespace quorvex
