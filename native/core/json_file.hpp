// read_json_file: one JSON record read from a file of the bundle.
#pragma once

#include <filesystem>
#include <string_view>

#include "core/error.hpp"
#include "core/file_io.hpp"
#include "core/json_decode.hpp"

namespace quorvex {

// Reads the whole file and parses exactly one JSON document (whitespace around
// it allowed) into a record. Io when the file cannot be read, Json otherwise.
// parse_json_file does the same for contents already read from `path`.
template <class Record>
Result<Record> parse_json_file(const std::filesystem::path& path, std::string_view contents) {
  auto record = read_json<Record>(contents);
  if (!record) return std::unexpected(QuorvexError::json(path, std::move(record).error()));
  return std::move(record).value();
}

template <class Record>
Result<Record> read_json_file(const std::filesystem::path& path) {
  const std::string contents = QV_TRY(read_file(path));
  return parse_json_file<Record>(path, contents);
}

}  // namespace quorvex
