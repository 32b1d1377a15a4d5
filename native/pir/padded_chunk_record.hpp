// The plaintext of one PIR record: a 4-byte little-endian length n, then n
// bytes holding one ChunkRecord JSON document, then filler up to the record
// size (never examined).
#pragma once

#include <cstdint>
#include <span>

#include "core/chunk.hpp"
#include "core/error.hpp"

namespace quorvex {

Result<ChunkRecord> decode_padded_chunk_record(std::span<const std::uint8_t> bytes);

}  // namespace quorvex
