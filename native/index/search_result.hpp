// SearchResult: one hit of an exact search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/chunk.hpp"
#include "core/wiped_value.hpp"

namespace quorvex {

// The chunk id, score and metadata are handed to the application; the record
// id, which it never sees, is wiped when the result dies.
struct SearchResult {
  std::string chunk_id;                  // chunk_id of the row's metadata record
  WipedValue<std::uint64_t> record_id;   // the row's record id: the PIR record to fetch
  float score = 0.0f;                // cosine similarity of query and row
  std::optional<Metadata> metadata;  // the row's metadata; absent when it is null
};

}  // namespace quorvex
