// The fixed layout of a public cache directory (the bundle root).
#pragma once

#include <filesystem>
#include <string_view>

namespace quorvex {

inline constexpr std::string_view kManifestFile = "manifest.json";
inline constexpr std::string_view kChecksumsFile = "checksums.json";
inline constexpr std::string_view kIndexDir = "index";
inline constexpr std::string_view kIndexConfigFile = "index/index.config.json";
inline constexpr std::string_view kVectorsFile = "index/vectors.bin";
inline constexpr std::string_view kIdsFile = "index/ids.bin";
inline constexpr std::string_view kMetadataFile = "index/metadata.jsonl";
// The lexical index: in caches of the balanced profile only, where checksums.json lists it.
inline constexpr std::string_view kLexicalIndexFile = "index/lexical.bin";
inline constexpr std::string_view kPirSchemeFile = "pir/scheme.json";
inline constexpr std::string_view kPirClientHintFile = "pir/client_hint.bin";
inline constexpr std::string_view kPirServerHintFile = "pir/server_hint.bin";

// Joins names to the bundle root; never touches the file system. Relative
// paths with forward slashes ("index/ids.bin") are joined unchanged.
class BundlePaths {
 public:
  explicit BundlePaths(std::filesystem::path root) : root_(std::move(root)) {}

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path manifest() const { return join(kManifestFile); }
  std::filesystem::path checksums() const { return join(kChecksumsFile); }
  std::filesystem::path index_dir() const { return join(kIndexDir); }
  std::filesystem::path join(std::string_view relative) const { return root_ / relative; }

 private:
  std::filesystem::path root_;
};

}  // namespace quorvex
