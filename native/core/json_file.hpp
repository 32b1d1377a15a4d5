// read_json_file: one JSON record read from a file of the bundle.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/file_io.hpp"
#include "core/json_decode.hpp"

namespace quorvex {

// The JSON files of a bundle (manifest, checksum list, index configuration,
// scheme) hold a few fixed fields and are a few KiB in practice. A file above
// this size is refused before it is parsed, so its parse stays within a small
// multiple of this. It is well above the whole public cache of the supported
// profile (2621440 bytes), so no cache that profile allows meets it.
inline constexpr std::uint64_t kMaxJsonFileBytes = std::uint64_t{4} << 20;

// The text of a bundle JSON file open at its start, or the size limit's
// Format error naming the file.
inline Result<std::string> read_json_text(InputFile& file) { return file.read_at_most(kMaxJsonFileBytes); }

inline Result<std::string> read_json_text(const std::filesystem::path& path) {
  InputFile file = QV_TRY(InputFile::open(path));
  return read_json_text(file);
}

// Parses exactly one JSON document (whitespace around it allowed) from the
// contents of `path` into a record: Json when that fails.
template <class Record>
Result<Record> parse_json_file(const std::filesystem::path& path, std::string_view contents) {
  auto record = read_json<Record>(contents);
  if (!record) return std::unexpected(QuorvexError::json(path, std::move(record).error()));
  return std::move(record).value();
}

// read_json_text, then parse_json_file.
template <class Record>
Result<Record> read_json_file(const std::filesystem::path& path) {
  const std::string contents = QV_TRY(read_json_text(path));
  return parse_json_file<Record>(path, contents);
}

}  // namespace quorvex
