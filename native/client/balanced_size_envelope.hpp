// The size envelope of a balanced cache: the files whose sizes follow from
// its manifest (the vectors, the ids and the client hint, whose layout the
// record count and size give) must have exactly those sizes. Checked from
// file metadata, before any of them is read, so a cache cannot make its
// reader hold more than its manifest promises.
#pragma once

#include <filesystem>

#include "core/error.hpp"
#include "core/manifest.hpp"

namespace quorvex {

// Nothing for a manifest of another profile.
Status validate_balanced_cache_sizes(const BundleManifest& manifest, const std::filesystem::path& root);

}  // namespace quorvex
