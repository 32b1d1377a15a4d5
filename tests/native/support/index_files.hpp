// The four index files of a cache, encoded for tests: a consistent index of
// given rows, and the encoders to build broken ones.
#pragma once

#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "support/cache_builder.hpp"

namespace quorvex::testing {

using Rows = std::vector<std::vector<float>>;

template <class T>
void append_little_endian(std::string& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

inline void append_float(std::string& out, float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  append_little_endian(out, bits);
}

// "vectors.bin" with the given header and rows (rows may disagree with the header).
inline std::string encode_vectors(std::uint32_t dimensions, std::uint64_t count, const Rows& rows,
                                  std::string_view magic = "QVVEC001") {
  std::string out(magic);
  append_little_endian(out, dimensions);
  append_little_endian(out, count);
  for (const auto& row : rows) {
    for (const float value : row) append_float(out, value);
  }
  return out;
}

inline std::string encode_vectors(const Rows& rows) {
  const auto dimensions = static_cast<std::uint32_t>(rows.empty() ? 0 : rows.front().size());
  return encode_vectors(dimensions, rows.size(), rows);
}

// "ids.bin" with the given count and ids.
inline std::string encode_ids(std::uint64_t count, const std::vector<std::uint64_t>& ids,
                              std::string_view magic = "QVIDS001") {
  std::string out(magic);
  append_little_endian(out, count);
  for (const std::uint64_t id : ids) append_little_endian(out, id);
  return out;
}

inline std::string encode_ids(const std::vector<std::uint64_t>& ids) { return encode_ids(ids.size(), ids); }

inline nlohmann::ordered_json index_config_json(std::string_view model, std::uint64_t dimensions,
                                                std::uint64_t count) {
  return {{"index_format", "quorvex-index-v0"},
          {"distance_metric", "cosine_similarity"},
          {"embedding_model", model},
          {"embedding_dimensions", dimensions},
          {"vector_count", count}};
}

// The metadata line of a record: chunk "chunk-{id}" of document "doc-{id}".
inline nlohmann::ordered_json metadata_record(std::uint64_t record_id) {
  return {{"record_id", record_id},
          {"chunk_id", "chunk-" + std::to_string(record_id)},
          {"document_id", "doc-" + std::to_string(record_id)},
          {"metadata", {{"source", "test"}, {"record", record_id}}}};
}

inline std::string metadata_jsonl(const std::vector<nlohmann::ordered_json>& records) {
  std::string out;
  for (const auto& record : records) out += record.dump() + "\n";
  return out;
}

// Puts a consistent index of `rows` (record ids `ids`, 0..n-1 when empty) into
// the cache and makes the manifest agree: model, dimensions, chunk and PIR
// record counts.
inline void add_index(CacheBuilder& cache, const Rows& rows, std::vector<std::uint64_t> ids = {}) {
  if (ids.empty()) {
    for (std::uint64_t i = 0; i < rows.size(); ++i) ids.push_back(i);
  }
  std::vector<nlohmann::ordered_json> records;
  for (const std::uint64_t id : ids) records.push_back(metadata_record(id));
  const std::uint64_t dimensions = rows.empty() ? 0 : rows.front().size();
  const std::string model = cache.manifest["embedding_model"];
  cache.files["index/index.config.json"] = index_config_json(model, dimensions, rows.size()).dump();
  cache.files["index/vectors.bin"] = encode_vectors(rows);
  cache.files["index/ids.bin"] = encode_ids(ids);
  cache.files["index/metadata.jsonl"] = metadata_jsonl(records);
  cache.manifest["embedding_dimensions"] = dimensions;
  cache.manifest["chunk_count"] = rows.size();
  cache.manifest["pir_record_count"] = rows.size();
}

}  // namespace quorvex::testing
