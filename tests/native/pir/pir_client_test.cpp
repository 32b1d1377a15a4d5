#include "pir/pir_client.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "support/pir_fixtures.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using nlohmann::ordered_json;

struct CacheFiles {
  std::string profile = "toy-development-only-v0";
  std::uint64_t records = 3;
  std::uint64_t record_size = 8;
  std::function<void(ordered_json&)> edit_scheme = [](ordered_json&) {};
  std::function<void(testing::TempDir&)> edit_files = [](testing::TempDir&) {};
};

// Writes manifest, scheme and client hint into `dir` and builds the client.
Result<PirClient> build(testing::TempDir& dir, const CacheFiles& files) {
  const bool toy = files.profile == "toy-development-only-v0";
  const auto manifest_json = testing::manifest_json(files.profile, files.records, files.record_size, 384);
  auto scheme = testing::scheme_json(files.profile, files.records, files.record_size);
  files.edit_scheme(scheme);
  dir.write("pir/scheme.json", scheme.dump());
  dir.write("pir/client_hint.bin", (toy ? testing::toy_hint(files.records, files.record_size)
                                        : testing::simplepir_rs_hint(files.records, files.record_size))
                                       .text());
  files.edit_files(dir);
  const auto manifest = read_json<BundleManifest>(manifest_json.dump()).value();
  return PirClient::from_public_manifest_and_cache(manifest, dir.path());
}

TEST(PirClient, BuildsAToyClient) {
  testing::TempDir dir;
  const auto client = build(dir, {});
  ASSERT_TRUE(client.has_value()) << client.error().display();
  EXPECT_TRUE(std::holds_alternative<SimplePirClientArtifact>(client->artifact()));
  EXPECT_EQ(client->params().record_count, 3u);
}

TEST(PirClient, BuildsAFullSizeSupportedClient) {
  testing::TempDir dir;
  const auto client = build(dir, {.profile = "simplepir-rs-v0-1000-1k", .records = 1000, .record_size = 1024});
  ASSERT_TRUE(client.has_value()) << client.error().display();
  const auto& artifact = std::get<SimplePirRsClientArtifact>(client->artifact());
  EXPECT_EQ(artifact.hint.nrows(), 1000u);
  EXPECT_EQ(artifact.hint.ncols(), 64u);
}

struct Failure {
  std::string name;
  CacheFiles files;
  std::string error;
};

class PirClientFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(PirClientFailure, ReportsTheFirstFailingStep) {
  testing::TempDir dir;
  const auto client = build(dir, GetParam().files);
  ASSERT_FALSE(client.has_value());
  std::string expected = GetParam().error;
  if (const auto at = expected.find("{root}"); at != std::string::npos) expected.replace(at, 6, dir.path().string());
  EXPECT_EQ(client.error().display(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PirClientFailure,
    ::testing::Values(
        Failure{"status_case_in_scheme",
                {.edit_scheme = [](auto& s) { s["params"]["security_status"] = "Experimental-unaudited"; }},
                "format error: unsupported PIR security_status for toy-development-only-v0: Experimental-unaudited; "
                "expected experimental-unaudited"},
        Failure{"server_hint_path", {.edit_scheme = [](auto& s) { s["artifacts"]["server_hint"] = "pir/server_hint.bin "; }},
                "format error: PIR scheme artifact does not match manifest PIR metadata"},
        Failure{"record_count", {.edit_scheme = [](auto& s) { s["params"]["record_count"] = 4; }},
                "format error: PIR scheme artifact does not match manifest PIR metadata"},
        Failure{"missing_hint",
                {.edit_files = [](auto& d) { std::filesystem::remove(d.path() / "pir/client_hint.bin"); }},
                "I/O error for {root}/pir/client_hint.bin: No such file or directory (os error 2)"},
        Failure{"scheme_not_json", {.edit_files = [](auto& d) { d.write("pir/scheme.json", "{"); }},
                "JSON error for {root}/pir/scheme.json: syntax error while parsing object key - unexpected end of "
                "input; expected string literal at line 1 column 1"},
        Failure{"wrong_hint_format",
                {.edit_files = [](auto& d) { d.write("pir/client_hint.bin", testing::simplepir_rs_hint(3, 8).text()); }},
                "format error: client_hint.bin has an unsupported SimplePIR magic header"}),
    [](const auto& test_case) { return test_case.param.name; });

}  // namespace
}  // namespace quorvex
