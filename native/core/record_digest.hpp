// The digest of a whole padded PIR record: the SHA-256 of every byte a query
// for that record decodes (length prefix, chunk record and filler). The
// publisher writes it as 64 lower-case hexadecimal digits under the key
// "record_sha256" of the record's line in "index/metadata.jsonl", so a client
// can check whole records, padding records included, against the cache it
// verified.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/json_value.hpp"
#include "core/sha256.hpp"

namespace quorvex {

inline constexpr std::string_view kRecordDigestKey = "record_sha256";

using RecordDigest = Sha256::Digest;

// The digest of a decoded record.
RecordDigest record_digest(std::span<const std::uint8_t> record);

// The digest written as exactly 64 lower-case hexadecimal digits, else nothing.
std::optional<RecordDigest> parse_record_digest(std::string_view hex);

// A string of exactly 64 lower-case hexadecimal digits.
JsonStatus decode_json(const JsonValue& value, std::optional<RecordDigest>& out);

}  // namespace quorvex
