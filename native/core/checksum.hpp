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
#include <type_traits>
#include <vector>

#include "core/error.hpp"
#include "core/file_io.hpp"
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
  // "unsupported checksum algorithm: ..." unless "sha256".
  Status require_sha256() const;

  // Bytes already read from a file, checked as that file would be.
  Status verify_contents(std::string_view relative_path, std::string_view contents) const;

  // Reads a file once: `parse` reads what it needs from the open file while
  // every byte is hashed, the rest is hashed unread, then the file is checked
  // against its entry. A failed check is the outer error; the parse's own
  // result, error or value, is returned for the caller to report in its turn.
  template <class Parse>
  auto read_verified(const std::filesystem::path& root, std::string_view relative_path, Parse&& parse) const
      -> Result<std::invoke_result_t<Parse&, InputFile&>>;

  // Reads a file whose contents are kept: `read(file, keep)` reads them while
  // they are hashed, keeping at most `keep` bytes, the entry's size (bytes
  // beyond it are hashed but not kept: the check then fails anyway). A failed
  // check is reported first, then a failure of the read; else its value.
  template <class Read>
  auto read_verified_whole(const std::filesystem::path& root, std::string_view relative_path, Read&& read) const
      -> std::invoke_result_t<Read&, InputFile&, std::uint64_t>;

  // The whole contents of a file that passed its check (read_verified_whole).
  Result<std::string> read_verified_file(const std::filesystem::path& root, std::string_view relative_path) const;
};

// Hashes one file and compares digest, then size, with its entry.
Status validate_one(const std::filesystem::path& root, std::string_view relative_path, const FileChecksum& entry);
// Compares a file's digest, then its size, with its entry.
Status check_digest(std::string_view relative_path, const FileChecksum& entry, const FileDigest& actual);

// Two lower-case hexadecimal digits per byte, high nibble first.
std::string to_hex(std::span<const unsigned char> bytes);

template <class Parse>
auto ChecksumManifest::read_verified(const std::filesystem::path& root, std::string_view relative_path,
                                     Parse&& parse) const -> Result<std::invoke_result_t<Parse&, InputFile&>> {
  QV_TRY(require_sha256());
  const FileChecksum entry = QV_TRY(require_file(relative_path));
  InputFile file = QV_TRY(InputFile::open(root / relative_path));
  file.start_digest();
  auto parsed = parse(file);
  QV_TRY(check_digest(relative_path, entry, QV_TRY(file.finish_digest())));
  return parsed;
}

template <class Read>
auto ChecksumManifest::read_verified_whole(const std::filesystem::path& root, std::string_view relative_path,
                                           Read&& read) const -> std::invoke_result_t<Read&, InputFile&, std::uint64_t> {
  // A missing entry fails inside read_verified first.
  const auto found = files.find(relative_path);
  const std::uint64_t keep = found == files.end() ? 0 : found->second.size_bytes;
  auto kept = QV_TRY(read_verified(root, relative_path, [&](InputFile& file) { return read(file, keep); }));
  return kept;
}

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
