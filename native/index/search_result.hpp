// SearchResult: one hit of an exact search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/chunk.hpp"

namespace quorvex {

struct SearchResult {
  std::string chunk_id;              // chunk_id of the row's metadata record
  std::uint64_t record_id = 0;       // the row's record id: the PIR record to fetch
  float score = 0.0f;                // cosine similarity of query and row
  std::optional<Metadata> metadata;  // the row's metadata; absent when it is null
};

}  // namespace quorvex
