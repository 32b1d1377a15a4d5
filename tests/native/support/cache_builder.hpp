// CacheBuilder: the files of a public cache held in memory, written out with a
// matching "checksums.json". Tests fill it (see index_files.hpp), break what
// they want, and write it to a TempDir.
//
// To change a file and keep its checksum valid, change it here and write()
// again; to corrupt a file behind the checksum list's back, overwrite it on
// disk after write().
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "core/sha256.hpp"
#include "support/manifests.hpp"
#include "support/temp_dir.hpp"

namespace quorvex::testing {

class CacheBuilder {
 public:
  // "manifest.json", serialised by write().
  nlohmann::ordered_json manifest = toy_manifest_json();
  // Every other file, by bundle-relative path ("index/ids.bin").
  std::map<std::string, std::string> files;
  // Written as the checksum list's algorithm; the digests are SHA-256 whatever it says.
  std::string checksum_algorithm = "sha256";
  // Files that get no entry in "checksums.json".
  std::set<std::string> without_checksum;

  // "manifest.json", every file and "checksums.json" (entries for the manifest
  // and every file) under root.
  void write(const std::filesystem::path& root) const {
    std::map<std::string, std::string> all = files;
    all["manifest.json"] = manifest.dump(2);
    nlohmann::ordered_json entries = nlohmann::ordered_json::object();
    for (const auto& [relative, contents] : all) {
      write_bytes(root / relative, contents);
      if (without_checksum.contains(relative)) continue;
      entries[relative] = {{"sha256", sha256_hex(contents)}, {"size_bytes", contents.size()}};
    }
    const nlohmann::ordered_json checksums = {{"algorithm", checksum_algorithm}, {"files", entries}};
    write_bytes(root / "checksums.json", checksums.dump(2));
  }
};

// One way to break a cache: a change before it is written, one to its files after.
struct CacheCase {
  std::string name;
  std::function<void(CacheBuilder&)> before_write;
  std::function<void(const std::filesystem::path&)> after_write;
  // "{root}" stands for the cache directory; a message ending in a blank is
  // a prefix (digests follow).
  std::string error;

  std::string expected(const std::string& actual, const std::filesystem::path& root) const {
    const std::string message = with_root(error, root);
    return message.ends_with(' ') && actual.starts_with(message) ? actual : message;
  }
};

inline constexpr auto kUnchanged = [](auto&) {};

}  // namespace quorvex::testing
