// RetrievalConfig: how many hits a retrieval shows (top_k) and how many PIR
// records it fetches in all, hits plus padding (retrieval_count).
#pragma once

#include <cstdint>

#include "core/error.hpp"
#include "core/manifest.hpp"

namespace quorvex {

struct RetrievalConfig {
  std::uint64_t top_k = 0;
  std::uint64_t retrieval_count = 0;

  // Builds the value and validates it.
  static Result<RetrievalConfig> create(std::uint64_t top_k, std::uint64_t retrieval_count);
  // top_k >= 1, retrieval_count >= 1 and retrieval_count >= top_k.
  Status validate() const;
};

// The configuration's own rules, then the supported profile's (top_k 2 and
// retrieval_count 4) or the balanced profile's (retrieval_count 4).
Status validate_retrieval_config_for_profile(const PirParamMap& pir_params, const RetrievalConfig& config);

}  // namespace quorvex
