// A public cache for tests: its files held in memory and written out with a
// matching "checksums.json" (CacheBuilder), the four index files encoded from
// given rows, and the encoders to build broken ones. To change a file and keep
// its checksum valid, change it in the builder and write() again; to corrupt it
// behind the checksum list's back, overwrite it on disk after write().
#pragma once

#include <cstdint>
#include <bit>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/sha256.hpp"
#include "support/manifests.hpp"
#include "support/temp_dir.hpp"

namespace quorvex::testing {

class CacheBuilder {
 public:
  // "manifest.json", serialised by write().
  nlohmann::ordered_json manifest = toy_manifest_json();
  // Every other file, by bundle-relative path ("index/ids.bin").
  std::map<std::string, std::string> files;
  // Written as the checksum list's algorithm; the digests are SHA-256 whatever it says.
  std::string checksum_algorithm = "sha256";
  // Files that get no entry in "checksums.json".
  std::set<std::string> without_checksum;

  // "manifest.json", every file and "checksums.json" (entries for the manifest
  // and every file) under root.
  void write(const std::filesystem::path& root) const {
    std::map<std::string, std::string> all = files;
    all["manifest.json"] = manifest.dump(2);
    nlohmann::ordered_json entries = nlohmann::ordered_json::object();
    for (const auto& [relative, contents] : all) {
      write_bytes(root / relative, contents);
      if (without_checksum.contains(relative)) continue;
      entries[relative] = {{"sha256", sha256_hex(contents)}, {"size_bytes", contents.size()}};
    }
    const nlohmann::ordered_json checksums = {{"algorithm", checksum_algorithm}, {"files", entries}};
    write_bytes(root / "checksums.json", checksums.dump(2));
  }
};

// One way to break a cache: a change before it is written, one to its files after.
struct CacheCase {
  std::string name;
  std::function<void(CacheBuilder&)> before_write;
  std::function<void(const std::filesystem::path&)> after_write;
  // "{root}" stands for the cache directory; a message ending in a blank is
  // a prefix (digests follow).
  std::string error;

  std::string expected(const std::string& actual, const std::filesystem::path& root) const {
    const std::string message = with_root(error, root);
    return message.ends_with(' ') && actual.starts_with(message) ? actual : message;
  }
};

inline constexpr auto kUnchanged = [](auto&) {};

using Rows = std::vector<std::vector<float>>;

template <class T>
void append_little_endian(std::string& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// "vectors.bin" with the given header and rows (rows may disagree with the header).
inline std::string encode_vectors(std::uint32_t dimensions, std::uint64_t count, const Rows& rows,
                                  std::string_view magic = "QVVEC001") {
  std::string out(magic);
  append_little_endian(out, dimensions);
  append_little_endian(out, count);
  for (const auto& row : rows) {
    for (const float value : row) append_little_endian(out, std::bit_cast<std::uint32_t>(value));
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

inline nlohmann::ordered_json index_config_json(std::string_view model, std::uint64_t dimensions, std::uint64_t count) {
  return {{"index_format", "quorvex-index-v0"}, {"distance_metric", "cosine_similarity"}, {"embedding_model", model},
          {"embedding_dimensions", dimensions}, {"vector_count", count}};
}

// The metadata line of a record: chunk "chunk-{id}" of document "doc-{id}".
inline nlohmann::ordered_json metadata_record(std::uint64_t record_id) {
  return {{"record_id", record_id}, {"chunk_id", "chunk-" + std::to_string(record_id)},
          {"document_id", "doc-" + std::to_string(record_id)}, {"metadata", {{"source", "test"}, {"record", record_id}}}};
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
