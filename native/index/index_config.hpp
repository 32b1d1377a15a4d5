// "index/index.config.json": what the index holds (format, metric, embedding
// model and shape), checked on its own and against the manifest.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "core/error.hpp"
#include "core/json_decode.hpp"
#include "core/manifest.hpp"

namespace quorvex {

inline constexpr std::string_view kCosineSimilarity = "cosine_similarity";

struct IndexConfig {
  std::string index_format;
  std::string distance_metric;
  std::string embedding_model;
  std::uint64_t embedding_dimensions = 0;
  std::uint64_t vector_count = 0;

  Status validate_v0() const;
  // validate_v0, then model, dimensions and row count against the manifest.
  Status validate_against_manifest(const BundleManifest& manifest) const;
};

template <>
struct JsonRecord<IndexConfig> {
  static constexpr std::string_view name = "IndexConfig";
  static constexpr std::tuple fields{
      field("index_format", &IndexConfig::index_format),
      field("distance_metric", &IndexConfig::distance_metric),
      field("embedding_model", &IndexConfig::embedding_model),
      field("embedding_dimensions", &IndexConfig::embedding_dimensions),
      field("vector_count", &IndexConfig::vector_count),
  };
};

}  // namespace quorvex
