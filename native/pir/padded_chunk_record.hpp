// The plaintext of one PIR record: a 4-byte little-endian length n, then n
// bytes holding one ChunkRecord JSON document, then filler up to the record
// size (never examined).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/chunk.hpp"
#include "core/error.hpp"

namespace quorvex {

// A record whose JSON does not read as a ChunkRecord is a Json error for
// "chunk-record-payload". A field that is missing or given twice is named
// (the name comes from the schema, not from the record); any other fault of
// the JSON is reported with this text alone, which shows no decrypted bytes.
inline constexpr std::string_view kNotAChunkRecord = "the decoded record does not hold a chunk record";

// What the errors of a record may say about it.
enum class RecordErrors {
  // As the unchecked decode reports them: the length prefix read from the
  // record, and where in the JSON a field is missing or repeated.
  WithLengths,
  // No length or position read from the record, only fixed texts and field
  // names: for records that passed their digest check, whose errors reach
  // the application whatever the record holds.
  WithoutLengths,
};

Result<ChunkRecord> decode_padded_chunk_record(std::span<const std::uint8_t> bytes,
                                               RecordErrors errors = RecordErrors::WithLengths);

}  // namespace quorvex
