// The order of search hits and the selection of the best k of them.
//
// Hits rank by score, higher first, then by record id, smaller first. A NaN
// score ranks after every number (NaNs among themselves by record id), which
// makes the order total, so it is safe for std::sort-like algorithms. The
// record ids of an index are distinct, so no further key is ever needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/secret_vector.hpp"

namespace quorvex {

struct RankedRow {
  float score = 0.0f;
  std::uint64_t record_id = 0;
  std::size_t row = 0;  // position in the index tables
};

// True when `a` comes before `b`.
bool ranks_before(const RankedRow& a, const RankedRow& b);

// The min(k, n) best rows in ranking order, given every row's score and record
// id (n entries each). Keeps at most k candidates at a time, in memory that is
// wiped when freed (they say what the query matched).
SecretVector<RankedRow> select_top_k(std::span<const float> scores, std::span<const std::uint64_t> record_ids,
                                    std::uint64_t k);

}  // namespace quorvex
