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

struct EnvelopeCase {
  std::string name;
  std::function<void(const testing::TempDir&)> change;  // applied to eight counted files of 2621440 bytes
  std::string outcome;
};

class Envelope : public ::testing::TestWithParam<EnvelopeCase> {};

TEST_P(Envelope, CountsTheEightFilesAClientHolds) {
  const testing::TempDir dir;
  for (const auto name : {kManifestFile, kChecksumsFile, kVectorsFile, kIdsFile, kMetadataFile, kIndexConfigFile,
                          kPirSchemeFile}) {
    dir.write(name, "0123456789");
  }
  dir.write(kPirClientHintFile, std::string(2621440 - 70, 'h'));
  GetParam().change(dir);
  const auto manifest = read_json<BundleManifest>(testing::supported_manifest_json().dump()).value();
  EXPECT_EQ(testing::outcome(validate_supported_profile_public_cache_size_envelope(manifest, dir.path())),
            testing::with_root(GetParam().outcome, dir.path()));
}

const std::string kOver = "format error: PIR parameter_profile simplepir-rs-v0-1000-1k supports public cache size at "
                          "most 2621440 bytes, got 2621441";

INSTANTIATE_TEST_SUITE_P(
    Cases, Envelope,
    ::testing::Values(
        EnvelopeCase{"limit_is_inclusive", [](auto&) {}, "ok"},
        EnvelopeCase{"one_byte_over", [](auto& dir) { dir.write(kIdsFile, "01234567890"); }, kOver},
        EnvelopeCase{"server_hint_not_counted", [](auto& dir) { dir.write(kPirServerHintFile, "s"); }, "ok"},
        EnvelopeCase{"link_counts_its_target",
                     [](auto& dir) {
                       fs::remove(dir.path() / kIdsFile);
                       fs::create_symlink(dir.write("elsewhere.bin", std::string(11, 'x')), dir.path() / kIdsFile);
                     },
                     kOver},
        EnvelopeCase{"directory_is_not_a_file",
                     [](auto& dir) {
                       fs::remove(dir.path() / kIdsFile);
                       fs::create_directory(dir.path() / kIdsFile);
                     }, "format error: bundle size envelope path is not a file: index/ids.bin"},
        EnvelopeCase{"missing_file", [](auto& dir) { fs::remove(dir.path() / kMetadataFile); },
                     "I/O error for {root}/index/metadata.jsonl: No such file or directory (os error 2)"}),
    testing::by_name);

TEST(Envelope, OtherProfilesAreNotChecked) {
  const auto toy = read_json<BundleManifest>(testing::toy_manifest_json().dump()).value();
  EXPECT_TRUE(validate_supported_profile_public_cache_size_envelope(toy, "/nonexistent-quorvex-dir").has_value());
}

}  // namespace
}  // namespace quorvex
