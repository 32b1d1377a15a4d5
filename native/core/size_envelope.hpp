// The public cache size limit of the supported profile: the files a client
// holds may not exceed 2621440 bytes together.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "core/error.hpp"
#include "core/manifest.hpp"

namespace quorvex {

Status validate_supported_profile_public_cache_size_envelope(const BundleManifest& manifest,
                                                             const std::filesystem::path& root);

// Sum of the files' sizes from file metadata (symbolic links followed).
Result<std::uint64_t> relative_files_size_bytes(const std::filesystem::path& root,
                                                std::span<const std::string_view> relative_paths);

Status validate_supported_profile_public_cache_size_bytes(const BundleManifest& manifest, std::uint64_t total);

}  // namespace quorvex
