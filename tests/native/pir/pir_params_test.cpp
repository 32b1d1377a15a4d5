#include "pir/pir_params.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "support/manifests.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using nlohmann::ordered_json;
using testing::outcome;

Result<PirParams> params_of(const ordered_json& manifest) {
  return PirParams::from_manifest(read_json<BundleManifest>(manifest.dump()).value());
}

TEST(PirParams, FromManifest) {
  // Absent named parameters take the toy values, which only the toy profile accepts.
  auto manifest = testing::manifest_json("toy-development-only-v0", 10, 64, 8);
  manifest["pir_params"].erase("matrix_width");
  manifest["pir_params"].erase("modulus");
  manifest["pir_params"].erase("plaintext_modulus");
  manifest["pir_params"].erase("matrix_prg");
  const PirParams params = params_of(manifest).value();
  EXPECT_EQ(std::tie(params.matrix_width, params.modulus, params.plaintext_modulus, params.record_count, params.record_size_bytes),
            std::make_tuple(16u, 4294967296u, 256u, 10u, 64u));
  EXPECT_EQ(params.matrix_prg, "splitmix64-public-matrix-dev");
  EXPECT_EQ(outcome(params.validate()), "ok");
  manifest["pir_params"]["parameter_profile"] = "simplepir-rs-experimental-v0";
  EXPECT_EQ(outcome(params_of(manifest).value().validate()), "format error: unsupported PIR matrix_width: 16");
  // The experimental profile has no record limits.
  EXPECT_EQ(outcome(params_of(testing::manifest_json("simplepir-rs-experimental-v0", 5000, 4096, 8)).value().validate()), "ok");
  // The manifest's own PIR checks run first.
  manifest = testing::supported_manifest_json();
  manifest["pir_params"]["schema_version"] = "01";
  EXPECT_EQ(outcome(params_of(manifest)), "format error: unsupported PIR params schema_version: 01");
  EXPECT_EQ(read_json<PirParams>(R"({"scheme":"simplepir-lwe-v1"})").error().message,
            "unknown variant `simplepir-lwe-v1`, expected `simplepir-lwe-v0` or `simplepir-balanced-lwe-v1`");
}

TEST(PirParams, NumbersArePlainUnsignedDecimal) {
  const auto parse = [](std::string text) {
    const auto parsed = parse_pir_param_u64(PirParamMap{{"modulus", text}}, "modulus", 1);
    return parsed ? std::to_string(*parsed) : parsed.error().display();
  };
  const std::string invalid = "format error: invalid PIR params modulus value ";
  EXPECT_EQ(parse("+4294967296"), "4294967296");
  EXPECT_EQ(parse("18446744073709551615"), "18446744073709551615");
  EXPECT_EQ(parse(""), invalid + ": cannot parse integer from empty string");
  for (const std::string text : {"+", "-1", "0x10", " 7", "12x"}) {
    EXPECT_EQ(parse(text), invalid + text + ": invalid digit found in string");
  }
  EXPECT_EQ(parse("18446744073709551616"), invalid + "18446744073709551616: number too large to fit in target type");
  EXPECT_EQ(parse_pir_param_u64(PirParamMap{}, "modulus", 99).value(), 99u);
}

TEST(PirParams, RulesInOrder) {
  for (const auto& [mutate, error] : std::vector<std::pair<std::function<void(PirParams&)>, std::string>>{
        {[](auto&) {}, ""},
        {[](auto& p) { p.schema_version = 2; }, "unsupported PIR params schema_version: 2"},
        {[](auto& p) { p.record_count = 0; }, "PIR params record_count must be greater than zero"},
        // The record size is checked before the profile.
        {[](auto& p) { p.record_size_bytes = 3; p.parameter_profile = "x"; },
             "PIR params record_size_bytes must leave room for a length prefix"},
        {[](auto& p) { p.parameter_profile = "Toy-development-only-v0"; },
             "unsupported PIR parameter_profile: Toy-development-only-v0"},
        {[](auto& p) { p.security_status = "experimental-unaudited"; },
             "unsupported PIR security_status for simplepir-rs-v0-1000-1k: experimental-unaudited; expected "
             "supported-v0-unaudited"},
        {[](auto& p) { p.modulus = 18446744073709551614u; }, "unsupported PIR modulus: 18446744073709551614"},
        {[](auto& p) { p.plaintext_modulus = 65536; }, "unsupported PIR plaintext_modulus: 65536"},
        {[](auto& p) { p.noise_distribution = "gauss"; }, "unsupported PIR noise_distribution: gauss"},
        {[](auto& p) { p.matrix_prg = "x"; }, "unsupported PIR matrix_prg: x"},
        {[](auto& p) { p.query_rng = "seeded"; }, "unsupported PIR query_rng: seeded"},
        {[](auto& p) { p.record_count = 1001; },
             "PIR parameter_profile simplepir-rs-v0-1000-1k supports at most 1000 records, got 1001"},
        {[](auto& p) { p.record_size_bytes = 2048; },
             "PIR parameter_profile simplepir-rs-v0-1000-1k requires 1024-byte records, got 2048"}}) {
    PirParams params = params_of(testing::supported_manifest_json()).value();
    mutate(params);
    EXPECT_EQ(outcome(params.validate()), error.empty() ? "ok" : "format error: " + error);
  }
}

}  // namespace
}  // namespace quorvex
