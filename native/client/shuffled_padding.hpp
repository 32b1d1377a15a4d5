// Padding for the balanced profile: the hits padded with records drawn
// uniformly among the non-hits, then every position of the batch shuffled, so
// that neither the order nor the padding of a retrieval depends on anything
// but its hits' identity, and a fault the server plants at one position of
// the batch meets a hit or a padding record by chance alone.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "client/retrieval_config.hpp"
#include "core/error.hpp"
#include "core/secret_vector.hpp"
#include "pir/os_random.hpp"

namespace quorvex {

// Both say which records a retrieval fetches: their memory is wiped when freed.
struct ShuffledRecordIds {
  SecretVector<std::uint64_t> record_ids;     // retrieval_count ids, in the order they are queried
  SecretVector<std::uint64_t> hit_positions;  // where hit i sits in record_ids, in ranking order
};

// The visible ids (the hits, in ranking order) and retrieval_count - n padding
// ids, each drawn uniformly among the records that are not hits (among all
// records when every record is a hit), in a uniformly random order (Fisher-Yates).
// The checks and their messages are those of padded_retrieval_record_ids.
Result<ShuffledRecordIds> shuffled_retrieval_record_ids(std::span<const std::uint64_t> visible_ids,
                                                        std::uint64_t record_count, const RetrievalConfig& config,
                                                        EntropySource source = os_entropy);

}  // namespace quorvex
