#include "core/checksum.hpp"

#include "core/file_io.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"

namespace quorvex {

std::string to_hex(std::span<const unsigned char> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(bytes.size() * 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return out;
}

Result<FileChecksum> ChecksumManifest::require_file(std::string_view relative_path) const {
  const auto found = files.find(relative_path);
  if (found == files.end()) return std::unexpected(QuorvexError::missing_checksum(std::string(relative_path)));
  return found->second;
}

Status ChecksumManifest::require_sha256() const {
  if (algorithm != "sha256") return format_error(concat("unsupported checksum algorithm: ", algorithm));
  return {};
}

Status ChecksumManifest::validate_files(const std::filesystem::path& root,
                                        std::span<const std::string_view> relative_paths) const {
  QV_TRY(require_sha256());
  for (const std::string_view relative_path : relative_paths) {
    const FileChecksum entry = QV_TRY(require_file(relative_path));
    QV_TRY(validate_one(root, relative_path, entry));
  }
  return {};
}

Status ChecksumManifest::verify_contents(std::string_view relative_path, std::string_view contents) const {
  QV_TRY(require_sha256());
  const FileChecksum entry = QV_TRY(require_file(relative_path));
  Sha256 hash;
  hash.update(contents);
  return check_digest(relative_path, entry, FileDigest{hash.finish(), contents.size()});
}

Result<std::string> ChecksumManifest::read_verified_file(const std::filesystem::path& root,
                                                         std::string_view relative_path) const {
  return read_verified_whole(root, relative_path,
                             [](InputFile& file, std::uint64_t keep) { return file.read_to_end(keep); });
}

Status validate_one(const std::filesystem::path& root, std::string_view relative_path, const FileChecksum& entry) {
  InputFile file = QV_TRY(InputFile::open(root / relative_path));
  file.start_digest();
  return check_digest(relative_path, entry, QV_TRY(file.finish_digest()));
}

Status check_digest(std::string_view relative_path, const FileChecksum& entry, const FileDigest& actual) {
  const std::string actual_hex = to_hex(actual.digest);
  if (actual_hex != entry.sha256) {
    return std::unexpected(QuorvexError::checksum_mismatch(std::string(relative_path), entry.sha256, actual_hex));
  }
  if (actual.byte_count != entry.size_bytes) {
    return format_error(
        concat("size mismatch for ", relative_path, ": expected ", entry.size_bytes, ", got ", actual.byte_count));
  }
  return {};
}

}  // namespace quorvex
