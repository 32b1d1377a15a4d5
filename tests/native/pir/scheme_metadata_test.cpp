#include "pir/scheme_metadata.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "pir/pir_backend.hpp"
#include "support/pir_fixtures.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using nlohmann::ordered_json;
using testing::outcome;

constexpr const char* kSupported = "simplepir-rs-v0-1000-1k";
constexpr const char* kExperimental = "simplepir-rs-experimental-v0";
constexpr const char* kToy = "toy-development-only-v0";

PirSchemeMetadata parse(const ordered_json& document) { return read_json<PirSchemeMetadata>(document.dump()).value(); }

TEST(SchemeMetadata, RulesInOrder) {
  // (profile, change, error; empty: passes)
  for (const auto& [profile, mutate, error] :
       std::vector<std::tuple<std::string, std::function<void(ordered_json&)>, std::string>>{
        {kSupported, [](auto&) {}, ""}, {kToy, [](auto&) {}, ""},
        // The params are checked first.
        {kSupported, [](auto& d) { d["params"]["matrix_width"] = 32; d["experimental"] = true; },
             "unsupported PIR matrix_width: 32"},
        {kSupported, [](auto& d) { d["experimental"] = true; },
             "supported PIR scheme metadata must not mark the profile experimental"},
        {kSupported, [](auto& d) { d["security_note"] = "Unaudited, not externally audited"; },
             "supported PIR scheme metadata security_note must say unaudited and not externally audited"},
        {kSupported, [](auto& d) { d["security_note"] = "unaudited and not audited externally"; },
             "supported PIR scheme metadata security_note must say unaudited and not externally audited"},
        {kExperimental, [](auto& d) { d["security_note"] = "experimental, unaudited"; }, ""},
        {kExperimental, [](auto& d) { d["security_note"] = "EXPERIMENTAL unaudited"; },
             "PIR scheme metadata security_note must say experimental and unaudited"},
        {kToy, [](auto& d) { d["experimental"] = false; },
             "PIR scheme metadata must mark simplepir-lwe-v0 as experimental"},
        // The backend's profile before its status.
        {kSupported,
             [](auto& d) {
               d["backend"]["parameter_profile"] = kExperimental;
               d["backend"]["security_status"] = "experimental-unaudited";
             }, "PIR backend metadata parameter_profile does not match params"},
        {kSupported, [](auto& d) { d["backend"]["security_status"] = "x"; },
             "PIR backend metadata security_status does not match params"},
        {kToy,
             [](auto& d) {
               d["backend"]["backend_name"] = "simplepir-rs-v1.0.1";
               d["backend"]["implementation_status"] = "external-crate-experimental";
             }, "unsupported PIR backend/profile combination: backend=simplepir-rs-v1.0.1, "
             "implementation_status=external-crate-experimental, parameter_profile=toy-development-only-v0"}}) {
    auto document = testing::scheme_json(profile, 10, 1024);
    mutate(document);
    EXPECT_EQ(outcome(parse(document).validate()), error.empty() ? "ok" : "format error: " + error) << document.dump();
  }
}

TEST(SchemeMetadata, MissingFieldIsAJsonError) {
  auto document = testing::scheme_json(kSupported, 10, 1024);
  document["params"].erase("query_rng");
  EXPECT_EQ(read_json<PirSchemeMetadata>(document.dump()).error().message, "missing field `query_rng`");
}

TEST(BackendSelection, FollowsTheProfileBeforeValidating) {
  EXPECT_TRUE(std::holds_alternative<ToySimplePirBackend>(select_pir_backend(parse(testing::scheme_json(kToy, 10, 64)).params).value().backend()));
  for (const char* profile : {kSupported, kExperimental}) {
    const PirParams params = parse(testing::scheme_json(profile, 10, 1024)).params;
    const auto selected = select_pir_backend(params).value();
    EXPECT_EQ(std::get<SimplePirRsBackend>(selected.backend()).profile(), profile);
    EXPECT_EQ(std::get<SimplePirRsBackend>(selected.backend()).security_status(), params.security_status);
  }
  PirParams params = parse(testing::scheme_json(kToy, 10, 64)).params;
  params.parameter_profile = "other";
  params.record_count = 0;
  EXPECT_EQ(outcome(select_pir_backend(params)), "format error: unsupported PIR parameter_profile: other");
  params.parameter_profile = kExperimental;
  EXPECT_EQ(outcome(select_pir_backend(params)), "format error: PIR params record_count must be greater than zero");
}

TEST(PirArtifacts, FromManifestValidatesThePaths) {
  auto manifest = read_json<BundleManifest>(testing::supported_manifest_json().dump()).value();
  EXPECT_EQ(PirArtifacts::from_manifest(manifest).value().client_hint, "pir/client_hint.bin");
  manifest.pir_artifacts.server_hint = " ";
  EXPECT_EQ(outcome(PirArtifacts::from_manifest(manifest)), "format error: pir_artifacts.server_hint cannot be empty");
}

}  // namespace
}  // namespace quorvex
