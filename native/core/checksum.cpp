#include "core/checksum.hpp"

#include <array>

#include "core/file_io.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"

namespace quorvex {

namespace {

constexpr std::size_t kHashPieceBytes = 16384;

}  // namespace

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

Status ChecksumManifest::validate_files(const std::filesystem::path& root,
                                        std::span<const std::string_view> relative_paths) const {
  if (algorithm != "sha256") return format_error(concat("unsupported checksum algorithm: ", algorithm));
  for (const std::string_view relative_path : relative_paths) {
    const FileChecksum entry = QV_TRY(require_file(relative_path));
    QV_TRY(validate_one(root, relative_path, entry));
  }
  return {};
}

Status validate_one(const std::filesystem::path& root, std::string_view relative_path, const FileChecksum& entry) {
  std::uint64_t byte_count = 0;
  Sha256 hash;
  {
    InputFile file = QV_TRY(InputFile::open(root / relative_path));
    std::array<char, kHashPieceBytes> piece;
    while (const std::size_t got = QV_TRY(file.read_some(piece))) {
      hash.update(std::span<const char>(piece.data(), got));
      byte_count += got;
    }
  }
  const std::string actual = to_hex(hash.finish());
  if (actual != entry.sha256) {
    return std::unexpected(QuorvexError::checksum_mismatch(std::string(relative_path), entry.sha256, actual));
  }
  if (byte_count != entry.size_bytes) {
    return format_error(
        concat("size mismatch for ", relative_path, ": expected ", entry.size_bytes, ", got ", byte_count));
  }
  return {};
}

}  // namespace quorvex
