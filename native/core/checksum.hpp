// "checksums.json": the SHA-256 digest and size of bundle files, and the
// checker that re-hashes the files a caller names.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/error.hpp"
#include "core/json_decode.hpp"

namespace quorvex {

struct FileChecksum {
  std::string sha256;  // 64 lower-case hexadecimal digits
  std::uint64_t size_bytes = 0;
};

struct ChecksumManifest {
  std::string algorithm;
  // Keyed by bundle-relative path; a later duplicate entry wins.
  std::map<std::string, FileChecksum, std::less<>> files;

  // Verifies the listed files, in order, against their entries.
  Status validate_files(const std::filesystem::path& root, std::span<const std::string_view> relative_paths) const;
  Result<FileChecksum> require_file(std::string_view relative_path) const;
};

// Hashes one file and compares digest, then size, with its entry.
Status validate_one(const std::filesystem::path& root, std::string_view relative_path, const FileChecksum& entry);

// Two lower-case hexadecimal digits per byte, high nibble first.
std::string to_hex(std::span<const unsigned char> bytes);

template <>
struct JsonRecord<FileChecksum> {
  static constexpr std::string_view name = "FileChecksum";
  static constexpr std::tuple fields{
      field("sha256", &FileChecksum::sha256),
      field("size_bytes", &FileChecksum::size_bytes),
  };
};

template <>
struct JsonRecord<ChecksumManifest> {
  static constexpr std::string_view name = "ChecksumManifest";
  static constexpr std::tuple fields{
      field("algorithm", &ChecksumManifest::algorithm),
      field("files", &ChecksumManifest::files),
  };
};

}  // namespace quorvex
