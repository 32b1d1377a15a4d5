#include "core/size_envelope.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "core/bundle_paths.hpp"
#include "core/json_decode.hpp"
#include "support/manifests.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;

const std::string kOver = "format error: PIR parameter_profile simplepir-rs-v0-1000-1k supports public cache size at "
                          "most 2621440 bytes, got 2621441";

// Each change applies to eight counted files of 2621440 bytes in all.
TEST(Envelope, CountsTheEightFilesAClientHolds) {
  for (const auto& [change, expected] : std::vector<std::pair<std::function<void(const testing::TempDir&)>, std::string>>{
        {[](auto&) {}, "ok"},
        {[](auto& dir) { dir.write(kIdsFile, "01234567890"); }, kOver},
        {[](auto& dir) { dir.write(kPirServerHintFile, "s"); }, "ok"},
        {[](auto& dir) {
                       fs::remove(dir.path() / kIdsFile);
                       fs::create_symlink(dir.write("elsewhere.bin", std::string(11, 'x')), dir.path() / kIdsFile);
                     },
                     kOver},
        {[](auto& dir) {
                       fs::remove(dir.path() / kIdsFile);
                       fs::create_directory(dir.path() / kIdsFile);
                     }, "format error: bundle size envelope path is not a file: index/ids.bin"},
        {[](auto& dir) { fs::remove(dir.path() / kMetadataFile); },
                     "I/O error for {root}/index/metadata.jsonl: No such file or directory (os error 2)"}}) {
    const testing::TempDir dir;
    for (const auto name : {kManifestFile, kChecksumsFile, kVectorsFile, kIdsFile, kMetadataFile, kIndexConfigFile,
                            kPirSchemeFile}) {
      dir.write(name, "0123456789");
    }
    dir.write(kPirClientHintFile, std::string(2621440 - 70, 'h'));
    change(dir);
    const auto manifest = read_json<BundleManifest>(testing::supported_manifest_json().dump()).value();
    EXPECT_EQ(testing::outcome(validate_supported_profile_public_cache_size_envelope(manifest, dir.path())),
              testing::with_root(expected, dir.path()));
  }
}

TEST(Envelope, OtherProfilesAreNotChecked) {
  const auto toy = read_json<BundleManifest>(testing::toy_manifest_json().dump()).value();
  EXPECT_TRUE(validate_supported_profile_public_cache_size_envelope(toy, "/nonexistent-quorvex-dir").has_value());
}

}  // namespace
}  // namespace quorvex
