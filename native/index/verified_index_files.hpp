// The four index files of a bundle, each read once: parsed while it is hashed,
// then checked against "checksums.json". What is parsed is exactly what was verified.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "core/checksum.hpp"
#include "core/chunk.hpp"
#include "core/error.hpp"
#include "index/index_config.hpp"
#include "index/index_reader.hpp"
#include "index/vector_table.hpp"

namespace quorvex {

class VerifiedIndexFiles {
 public:
  // Checks "vectors.bin", "ids.bin", "metadata.jsonl" and "index.config.json",
  // in this order; the first missing entry, unreadable file or mismatch ends it.
  // The files' own format errors wait for tables().
  static Result<VerifiedIndexFiles> read(const ChecksumManifest& checksums, const std::filesystem::path& root);

  // The tables, with the format errors in loading order: the configuration,
  // vectors, ids, metadata, then the tables against each other.
  Result<IndexTables> tables() &&;

 private:
  VerifiedIndexFiles(Result<VectorTable> vectors, Result<std::vector<std::uint64_t>> ids,
                     Result<std::vector<IndexMetadataRecord>> metadata, Result<IndexConfig> config)
      : vectors_(std::move(vectors)), ids_(std::move(ids)), metadata_(std::move(metadata)), config_(std::move(config)) {}

  Result<VectorTable> vectors_;
  Result<std::vector<std::uint64_t>> ids_;
  Result<std::vector<IndexMetadataRecord>> metadata_;
  Result<IndexConfig> config_;
};

}  // namespace quorvex
