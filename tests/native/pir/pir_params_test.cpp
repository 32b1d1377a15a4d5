#include "pir/pir_params.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "support/manifests.hpp"

namespace quorvex {
namespace {

using nlohmann::ordered_json;

Result<PirParams> params_of(const ordered_json& manifest) {
  return PirParams::from_manifest(read_json<BundleManifest>(manifest.dump()).value());
}

TEST(PirParams, ToyDefaultsApplyToAbsentNamedParameters) {
  auto manifest = testing::manifest_json("toy-development-only-v0", 10, 64, 8);
  manifest["pir_params"] = {{"schema_version", "1"},
                            {"parameter_profile", "toy-development-only-v0"},
                            {"security_status", "experimental-unaudited"}};
  const PirParams params = params_of(manifest).value();
  EXPECT_EQ(params.matrix_width, 16u);
  EXPECT_EQ(params.modulus, 4294967296u);
  EXPECT_EQ(params.plaintext_modulus, 256u);
  EXPECT_EQ(params.matrix_prg, "splitmix64-public-matrix-dev");
  EXPECT_EQ(params.record_count, 10u);
  EXPECT_EQ(params.record_size_bytes, 64u);
  EXPECT_TRUE(params.validate().has_value());

  manifest["pir_params"]["parameter_profile"] = "simplepir-rs-experimental-v0";
  EXPECT_EQ(params_of(manifest).value().validate().error().display(),
            "format error: unsupported PIR matrix_width: 16");
}

struct ParseCase {
  std::string text;
  std::string outcome;  // the value, or the error display
};

class ParseParam : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseParam, ParsesPlainUnsignedDecimal) {
  const PirParamMap map{{"modulus", GetParam().text}};
  const auto parsed = parse_pir_param_u64(map, "modulus", 1);
  EXPECT_EQ(parsed ? std::to_string(*parsed) : parsed.error().display(), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseParam,
    ::testing::Values(
        ParseCase{"+4294967296", "4294967296"}, ParseCase{"18446744073709551615", "18446744073709551615"},
        ParseCase{"", "format error: invalid PIR params modulus value : cannot parse integer from empty string"},
        ParseCase{"+", "format error: invalid PIR params modulus value +: invalid digit found in string"},
        ParseCase{"-1", "format error: invalid PIR params modulus value -1: invalid digit found in string"},
        ParseCase{"0x10", "format error: invalid PIR params modulus value 0x10: invalid digit found in string"},
        ParseCase{" 7", "format error: invalid PIR params modulus value  7: invalid digit found in string"},
        ParseCase{"12x", "format error: invalid PIR params modulus value 12x: invalid digit found in string"},
        ParseCase{"18446744073709551616",
                  "format error: invalid PIR params modulus value 18446744073709551616: number too large to fit in "
                  "target type"}));

TEST(PirParams, AbsentKeyTakesTheFallback) {
  EXPECT_EQ(parse_pir_param_u64(PirParamMap{}, "modulus", 99).value(), 99u);
}

struct Rule {
  std::string name;
  std::function<void(PirParams&)> mutate;
  std::string error;
};

class PirParamsRule : public ::testing::TestWithParam<Rule> {};

TEST_P(PirParamsRule, ReportsItsMessage) {
  PirParams params = params_of(testing::supported_manifest_json()).value();
  ASSERT_TRUE(params.validate().has_value());
  GetParam().mutate(params);
  const Status status = params.validate();
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().display(), "format error: " + GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, PirParamsRule,
    ::testing::Values(
        Rule{"schema", [](auto& p) { p.schema_version = 2; }, "unsupported PIR params schema_version: 2"},
        Rule{"no_records", [](auto& p) { p.record_count = 0; }, "PIR params record_count must be greater than zero"},
        Rule{"size_3_before_profile",
             [](auto& p) {
               p.record_size_bytes = 3;
               p.parameter_profile = "x";
             },
             "PIR params record_size_bytes must leave room for a length prefix"},
        Rule{"profile_case", [](auto& p) { p.parameter_profile = "Toy-development-only-v0"; },
             "unsupported PIR parameter_profile: Toy-development-only-v0"},
        Rule{"status", [](auto& p) { p.security_status = "experimental-unaudited"; },
             "unsupported PIR security_status for simplepir-rs-v0-1000-1k: experimental-unaudited; expected "
             "supported-v0-unaudited"},
        Rule{"modulus", [](auto& p) { p.modulus = 18446744073709551614u; },
             "unsupported PIR modulus: 18446744073709551614"},
        Rule{"plaintext", [](auto& p) { p.plaintext_modulus = 65536; }, "unsupported PIR plaintext_modulus: 65536"},
        Rule{"noise", [](auto& p) { p.noise_distribution = "gauss"; }, "unsupported PIR noise_distribution: gauss"},
        Rule{"prg", [](auto& p) { p.matrix_prg = "x"; }, "unsupported PIR matrix_prg: x"},
        Rule{"rng", [](auto& p) { p.query_rng = "seeded"; }, "unsupported PIR query_rng: seeded"},
        Rule{"too_many", [](auto& p) { p.record_count = 1001; },
             "PIR parameter_profile simplepir-rs-v0-1000-1k supports at most 1000 records, got 1001"},
        Rule{"record_size", [](auto& p) { p.record_size_bytes = 2048; },
             "PIR parameter_profile simplepir-rs-v0-1000-1k requires 1024-byte records, got 2048"}),
    [](const auto& test_case) { return test_case.param.name; });

TEST(PirParams, ExperimentalProfileHasNoRecordLimits) {
  auto manifest = testing::manifest_json("simplepir-rs-experimental-v0", 5000, 4096, 8);
  EXPECT_TRUE(params_of(manifest).value().validate().has_value());
}

TEST(PirParams, FromManifestRunsTheManifestPirChecksFirst) {
  auto manifest = testing::supported_manifest_json();
  manifest["pir_params"]["schema_version"] = "01";
  EXPECT_EQ(params_of(manifest).error().display(), "format error: unsupported PIR params schema_version: 01");
  manifest = testing::supported_manifest_json();
  manifest["pir_params"]["modulus"] = "12x";
  EXPECT_EQ(params_of(manifest).error().display(),
            "format error: invalid PIR params modulus value 12x: invalid digit found in string");
}

TEST(PirScheme, JsonFormNamesTheOnlyVariant) {
  const auto bad = read_json<PirParams>(R"({"scheme":"simplepir-lwe-v1"})");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().message, "unknown variant `simplepir-lwe-v1`, expected `simplepir-lwe-v0`");
}

}  // namespace
}  // namespace quorvex
