// The two records that carry chunk data: ChunkRecord (stored, padded, in each
// PIR record) and IndexMetadataRecord (one line of "index/metadata.jsonl").
#pragma once

#include <cstdint>
#include <optional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <tuple>

#include "core/json_decode.hpp"
#include "core/record_digest.hpp"

namespace quorvex {

// Arbitrary JSON attached to a chunk; null when absent. Objects are ordered by key.
using Metadata = nlohmann::json;

struct ChunkRecord {
  std::uint64_t record_id = 0;
  std::string chunk_id;
  std::string document_id;
  std::string text;
  Metadata metadata;
};

struct IndexMetadataRecord {
  std::uint64_t record_id = 0;
  std::string chunk_id;
  std::string document_id;
  Metadata metadata;
  std::optional<RecordDigest> record_sha256;  // the whole padded record's digest, where published
};

template <>
struct JsonRecord<ChunkRecord> {
  static constexpr std::string_view name = "ChunkRecord";
  static constexpr std::tuple fields{
      field("record_id", &ChunkRecord::record_id),
      field("chunk_id", &ChunkRecord::chunk_id),
      field("document_id", &ChunkRecord::document_id),
      field("text", &ChunkRecord::text),
      optional_field("metadata", &ChunkRecord::metadata),
  };
};

template <>
struct JsonRecord<IndexMetadataRecord> {
  static constexpr std::string_view name = "IndexMetadataRecord";
  static constexpr std::tuple fields{
      field("record_id", &IndexMetadataRecord::record_id),
      field("chunk_id", &IndexMetadataRecord::chunk_id),
      field("document_id", &IndexMetadataRecord::document_id),
      optional_field("metadata", &IndexMetadataRecord::metadata),
      optional_field(kRecordDigestKey, &IndexMetadataRecord::record_sha256),
  };
};

}  // namespace quorvex
