// One line of "index/metadata.jsonl" as an IndexMetadataRecord.
//
// Publishers write compact lines: no whitespace and no escapes, the metadata
// a flat object (or a single value) of strings, unsigned integers, booleans
// and nulls. Such a line is scanned directly, several times faster than the
// JSON parser reads it; any other line, and every line in error, goes through
// the parser. Both give the same record.
#pragma once

#include <expected>
#include <optional>
#include <string_view>

#include "core/chunk.hpp"
#include "core/error.hpp"

namespace quorvex {

// The record of a line, or the parser's error.
std::expected<IndexMetadataRecord, JsonError> read_metadata_line(std::string_view line);

// The direct scan alone: the record of a compact line that holds every field
// the record needs, each once; nothing for any other line.
std::optional<IndexMetadataRecord> scan_compact_metadata_line(std::string_view line);

}  // namespace quorvex
