#include "index/index_config.hpp"

#include "core/text.hpp"

namespace quorvex {

Status IndexConfig::validate_v0() const {
  if (index_format != kIndexFormat) return format_error(concat("unsupported index format: ", index_format));
  if (distance_metric != kCosineSimilarity) {
    return format_error(concat("unsupported distance metric: ", distance_metric));
  }
  if (is_blank(embedding_model)) return format_error("index embedding_model cannot be empty");
  if (embedding_dimensions == 0) return format_error("index embedding_dimensions must be greater than zero");
  if (vector_count == 0) return format_error("index vector_count must be greater than zero");
  return {};
}

Status IndexConfig::validate_against_manifest(const BundleManifest& manifest) const {
  QV_TRY(validate_v0());
  if (embedding_model != manifest.embedding_model) {
    return format_error(concat("index embedding model ", embedding_model, " does not match manifest ",
                               manifest.embedding_model));
  }
  if (embedding_dimensions != manifest.embedding_dimensions) {
    return format_error(concat("index dimensions ", embedding_dimensions, " do not match manifest ",
                               manifest.embedding_dimensions));
  }
  if (vector_count != manifest.chunk_count) {
    return format_error(concat("index vector count ", vector_count, " does not match manifest chunk count ",
                               manifest.chunk_count));
  }
  return {};
}

}  // namespace quorvex
