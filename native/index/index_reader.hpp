// IndexReader: reads the four files of a bundle's "index" directory, checks
// each file's own format, then checks the tables against each other.
//
// "vectors.bin" (little-endian): magic "QVVEC001", dimensions u32, count u64,
// then count rows of dimensions f32 values; nothing after the last value.
// "ids.bin" (little-endian): magic "QVIDS001", count u64, then count u64
// record ids in row order; nothing after the last id.
// "metadata.jsonl": one IndexMetadataRecord per non-blank line, row order.
// "index.config.json": IndexConfig.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "core/chunk.hpp"
#include "core/error.hpp"
#include "core/file_io.hpp"
#include "index/index_config.hpp"
#include "index/vector_table.hpp"

namespace quorvex {

inline constexpr std::string_view kIndexConfigName = "index.config.json";
inline constexpr std::string_view kVectorsName = "vectors.bin";
inline constexpr std::string_view kIdsName = "ids.bin";
inline constexpr std::string_view kMetadataName = "metadata.jsonl";

inline constexpr std::string_view kVectorsMagic = "QVVEC001";
inline constexpr std::string_view kIdsMagic = "QVIDS001";

// The four tables of an index; row i of each describes the same chunk.
struct IndexTables {
  IndexConfig config;
  VectorTable vectors;
  std::vector<std::uint64_t> ids;
  std::vector<IndexMetadataRecord> metadata;
};

class IndexReader {
 public:
  explicit IndexReader(std::filesystem::path index_dir) : index_dir_(std::move(index_dir)) {}

  const std::filesystem::path& index_dir() const { return index_dir_; }

  // read_config, read_vectors, read_ids, read_metadata, then validate_tables.
  Result<IndexTables> load() const;

  Result<IndexConfig> read_config() const;
  Result<VectorTable> read_vectors() const;
  Result<std::vector<std::uint64_t>> read_ids() const;
  Result<std::vector<IndexMetadataRecord>> read_metadata() const;

  // The same readers over a file open at its start, named by its path.
  static Result<IndexConfig> read_config_from(InputFile& file);
  static Result<VectorTable> read_vectors_from(InputFile& file);
  static Result<std::vector<std::uint64_t>> read_ids_from(InputFile& file);
  static Result<std::vector<IndexMetadataRecord>> read_metadata_from(InputFile& file);

 private:
  std::filesystem::path index_dir_;
};

// The tables against the configuration and each other: shapes and counts, the
// ids a permutation of 0..n-1 matching the metadata, record digests on every
// row or on none, every stored value finite.
Status validate_tables(const IndexConfig& config, const VectorTable& vectors, std::span<const std::uint64_t> ids,
                       std::span<const IndexMetadataRecord> metadata);

// The four tables in loading order (configuration, vectors, ids, metadata),
// each taken from its function only when those before it succeeded, then
// checked against each other.
template <class ReadConfig, class ReadVectors, class ReadIds, class ReadMetadata>
Result<IndexTables> load_index_tables(ReadConfig&& read_config, ReadVectors&& read_vectors, ReadIds&& read_ids,
                                      ReadMetadata&& read_metadata) {
  IndexConfig config = QV_TRY(read_config());
  VectorTable vectors = QV_TRY(read_vectors());
  std::vector<std::uint64_t> ids = QV_TRY(read_ids());
  std::vector<IndexMetadataRecord> metadata = QV_TRY(read_metadata());
  QV_TRY(validate_tables(config, vectors, ids, metadata));
  return IndexTables{std::move(config), std::move(vectors), std::move(ids), std::move(metadata)};
}

}  // namespace quorvex
