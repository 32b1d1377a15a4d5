#include "core/size_envelope.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/bundle_paths.hpp"
#include "core/json_decode.hpp"
#include "support/manifests.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

constexpr std::uint64_t kLimit = 2621440;

class SizeEnvelope : public ::testing::Test {
 protected:
  // Writes the eight counted files; the client hint makes the total `total`.
  void write_bundle(std::uint64_t total) {
    const std::vector<std::string_view> small = {kManifestFile,    kChecksumsFile,   kVectorsFile, kIdsFile,
                                                 kMetadataFile,    kIndexConfigFile, kPirSchemeFile};
    for (const auto name : small) dir_.write(name, "0123456789");
    dir_.write(kPirClientHintFile, std::string(total - 10 * small.size(), 'h'));
  }
  Status check(const nlohmann::ordered_json& manifest_json) const {
    const auto manifest = read_json<BundleManifest>(manifest_json.dump()).value();
    return validate_supported_profile_public_cache_size_envelope(manifest, dir_.path());
  }
  testing::TempDir dir_;
};

TEST_F(SizeEnvelope, LimitIsInclusive) {
  write_bundle(kLimit);
  EXPECT_TRUE(check(testing::supported_manifest_json()).has_value());
  write_bundle(kLimit + 1);
  const Status status = check(testing::supported_manifest_json());
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().display(),
            "format error: PIR parameter_profile simplepir-rs-v0-1000-1k supports public cache size at most 2621440 "
            "bytes, got 2621441");
}

TEST_F(SizeEnvelope, OtherProfilesAreNotChecked) {
  EXPECT_TRUE(check(testing::toy_manifest_json()).has_value());  // no files at all
}

TEST_F(SizeEnvelope, ServerHintDoesNotCount) {
  write_bundle(kLimit);
  dir_.write(kPirServerHintFile, std::string(10000, 's'));
  EXPECT_TRUE(check(testing::supported_manifest_json()).has_value());
}

TEST_F(SizeEnvelope, SymbolicLinkCountsItsTarget) {
  write_bundle(kLimit);
  const auto target = dir_.write("elsewhere.bin", std::string(11, 'x'));
  std::filesystem::remove(dir_.path() / kIdsFile);
  std::filesystem::create_symlink(target, dir_.path() / kIdsFile);
  const Status status = check(testing::supported_manifest_json());
  ASSERT_FALSE(status.has_value());
  EXPECT_TRUE(status.error().display().ends_with("got 2621441"));
}

TEST_F(SizeEnvelope, DirectoryIsNotAFile) {
  write_bundle(kLimit);
  std::filesystem::remove(dir_.path() / kIdsFile);
  std::filesystem::create_directory(dir_.path() / kIdsFile);
  const Status status = check(testing::supported_manifest_json());
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().display(), "format error: bundle size envelope path is not a file: index/ids.bin");
}

TEST_F(SizeEnvelope, MissingFileIsAnIoErrorWithTheJoinedPath) {
  write_bundle(kLimit);
  std::filesystem::remove(dir_.path() / kMetadataFile);
  const Status status = check(testing::supported_manifest_json());
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().display(), "I/O error for " + (dir_.path() / kMetadataFile).string() +
                                          ": No such file or directory (os error 2)");
}

}  // namespace
}  // namespace quorvex
