// Padding a retrieval's hits to a fixed number of PIR records, so the server
// always sees the same number of queries.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "client/retrieval_config.hpp"
#include "core/error.hpp"
#include "core/secret_vector.hpp"

namespace quorvex {

// The visible ids in ranking order, followed by the smallest record ids that
// are not hits, in ascending order, until retrieval_count ids are listed
// (wrapping around the store, and repeating ids, when it runs out of non-hits).
// The list says which records a retrieval fetches: its memory is wiped when freed.
Result<SecretVector<std::uint64_t>> padded_retrieval_record_ids(std::span<const std::uint64_t> visible_ids,
                                                                std::uint64_t record_count,
                                                                const RetrievalConfig& config);

}  // namespace quorvex
