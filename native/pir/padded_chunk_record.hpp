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
// "chunk-record-payload" with this text alone: an error never shows
// decrypted bytes, nor where in them the fault lies.
inline constexpr std::string_view kNotAChunkRecord = "the decoded record does not hold a chunk record";

Result<ChunkRecord> decode_padded_chunk_record(std::span<const std::uint8_t> bytes);

}  // namespace quorvex
