#include "core/size_envelope.hpp"

#include <sys/stat.h>

#include <array>
#include <cerrno>

#include "core/bundle_paths.hpp"
#include "core/file_io.hpp"
#include "core/profile_names.hpp"
#include "core/text.hpp"

namespace quorvex {

namespace {

constexpr std::array<std::string_view, 8> kEnvelopeFiles = {
    kManifestFile, kChecksumsFile, kVectorsFile, kIdsFile, kMetadataFile, kIndexConfigFile, kPirSchemeFile,
    kPirClientHintFile,
};

}  // namespace

Status validate_supported_profile_public_cache_size_envelope(const BundleManifest& manifest,
                                                             const std::filesystem::path& root) {
  if (!is_supported_simplepir_rs_manifest(manifest)) return {};
  const std::uint64_t total = QV_TRY(relative_files_size_bytes(root, kEnvelopeFiles));
  return validate_supported_profile_public_cache_size_bytes(manifest, total);
}

Result<std::uint64_t> relative_files_size_bytes(const std::filesystem::path& root,
                                                std::span<const std::string_view> relative_paths) {
  std::uint64_t total = 0;
  for (const std::string_view relative_path : relative_paths) {
    const std::filesystem::path path = root / relative_path;
    QV_TRY(check_path_has_no_nul(path));
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::unexpected(QuorvexError::io(path, IoSource::os(errno)));
    if (!S_ISREG(info.st_mode)) {
      return format_error(concat("bundle size envelope path is not a file: ", relative_path));
    }
    if (__builtin_add_overflow(total, static_cast<std::uint64_t>(info.st_size), &total)) {
      return format_error("bundle size envelope overflow");
    }
  }
  return total;
}

Status validate_supported_profile_public_cache_size_bytes(const BundleManifest& manifest, std::uint64_t total) {
  if (!is_supported_simplepir_rs_manifest(manifest) || total <= kSupportedPublicCacheLimitBytes) return {};
  return format_error(concat("PIR parameter_profile ", kSupportedProfile, " supports public cache size at most ",
                             kSupportedPublicCacheLimitBytes, " bytes, got ", total));
}

}  // namespace quorvex
