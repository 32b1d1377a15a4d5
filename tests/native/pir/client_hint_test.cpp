#include <gtest/gtest.h>

#include "pir/pir_backend.hpp"
#include "support/pir_fixtures.hpp"

namespace quorvex {
namespace {

using testing::ByteWriter;

PirParams params_for(const char* profile, std::uint64_t records, std::uint64_t record_size) {
  return read_json<PirParams>(testing::scheme_json(profile, records, record_size)["params"].dump()).value();
}

std::string load_toy(const ByteWriter& file, std::uint64_t records = 3, std::uint64_t record_size = 8) {
  const auto loaded = ToySimplePirBackend::load_client_artifact(
      params_for("toy-development-only-v0", records, record_size), file.bytes());
  return loaded ? "ok" : loaded.error().display();
}

std::string load_rs(const ByteWriter& file, std::uint64_t records, std::uint64_t record_size) {
  const auto loaded = SimplePirRsBackend::load_client_artifact(
      params_for("simplepir-rs-experimental-v0", records, record_size), file.bytes());
  return loaded ? "ok" : loaded.error().display();
}

TEST(ToyClientHint, LoadsAValidFile) {
  EXPECT_EQ(load_toy(testing::toy_hint(3, 8)), "ok");
  const auto artifact = SimplePirClientArtifact::from_bytes(testing::toy_hint(3, 8).bytes()).value();
  EXPECT_EQ(artifact.hint.size(), 128u);
  EXPECT_EQ(artifact.hint[127], 128u);
  EXPECT_EQ(artifact.setup.matrix_seed, 7u);
}

struct HintCase {
  std::string name;
  ByteWriter file;
  std::string error;
};

class ToyHintFault : public ::testing::TestWithParam<HintCase> {};

TEST_P(ToyHintFault, Reports) { EXPECT_EQ(load_toy(GetParam().file), "format error: " + GetParam().error); }

ByteWriter toy_header(std::uint64_t hint_length) {
  ByteWriter w;
  w.magic("QVSPC001").u64(3).u64(8).u64(16).u64(4294967296u).u64(256).u64(16777216).u64(7).u64(hint_length);
  return w;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToyHintFault,
    ::testing::Values(
        HintCase{"empty", ByteWriter{}, "client_hint.bin has an unsupported SimplePIR magic header"},
        HintCase{"seven_bytes", ByteWriter{}.magic("QVSPC00"), "client_hint.bin has an unsupported SimplePIR magic header"},
        HintCase{"other_format", testing::simplepir_rs_hint(3, 8), "client_hint.bin has an unsupported SimplePIR magic header"},
        HintCase{"ends_after_seed", ByteWriter{}.magic("QVSPC001").u64(3).u64(8).u64(16).u64(4294967296u).u64(256).u64(16777216).u64(7),
                 "client_hint.bin ended while reading SimplePIR client hint length"},
        HintCase{"ends_in_setup", ByteWriter{}.magic("QVSPC001").u64(3).u64(8).raw(5),
                 "client_hint.bin ended while reading SimplePIR matrix_width"},
        HintCase{"wrong_length", toy_header(127).u64s(127), "SimplePIR client hint length 127 does not match expected 128"},
        HintCase{"ends_in_values", toy_header(128).u64s(100), "client_hint.bin ended while reading SimplePIR client hint value"},
        HintCase{"trailing", testing::toy_hint(3, 8).raw(3), "client_hint.bin has 3 trailing bytes"},
        HintCase{"delta", testing::toy_hint(3, 8, 16777215), "unsupported SimplePIR delta: 16777215"},
        HintCase{"zero_seed", testing::toy_hint(3, 8, 16777216, 0), "SimplePIR setup matrix_seed cannot be zero"},
        HintCase{"record_count", testing::toy_hint(4, 8), "SimplePIR setup record_count 4 does not match params 3"}),
    [](const auto& test_case) { return test_case.param.name; });

TEST(ToyClientHint, HugeDeclaredLengthEndsAtTheFirstMissingValue) {
  // record_size_bytes 2^60 x width 16 overflows; 2^40 x 16 fits and claims 2^44 values.
  ByteWriter overflow;
  overflow.magic("QVSPC001").u64(3).u64(1ull << 60).u64(16).u64(4294967296u).u64(256).u64(16777216).u64(7).u64(5);
  EXPECT_EQ(SimplePirClientArtifact::from_bytes(overflow.bytes()).error().display(),
            "format error: SimplePIR hint length overflow");
  ByteWriter huge;
  huge.magic("QVSPC001").u64(3).u64(1ull << 40).u64(16).u64(4294967296u).u64(256).u64(16777216).u64(7);
  huge.u64(1ull << 44).u64s(2);
  EXPECT_EQ(SimplePirClientArtifact::from_bytes(huge.bytes()).error().display(),
            "format error: client_hint.bin ended while reading SimplePIR client hint value");
}

TEST(SimplePirRsClientHint, LoadsValidShapes) {
  // (records, record size): lanes and square side follow from them.
  for (const auto& [records, size] : {std::pair<std::uint64_t, std::uint64_t>{3, 5}, {10, 5}, {1, 4}, {1000, 1024}}) {
    EXPECT_EQ(load_rs(testing::simplepir_rs_hint(records, size), records, size), "ok") << records << "x" << size;
  }
  const auto artifact = SimplePirRsClientArtifact::from_bytes(testing::simplepir_rs_hint(10, 5).bytes()).value();
  EXPECT_EQ(artifact.setup.lane_count, 3u);
  EXPECT_EQ(artifact.hint.nrows(), 10u);
  EXPECT_EQ(artifact.hint.ncols(), 64u);
  EXPECT_EQ(artifact.hint.at(9, 63), 640u);
}

struct RsCase {
  std::string name;
  ByteWriter file;
  std::string error;
};

class RsHintFault : public ::testing::TestWithParam<RsCase> {};

TEST_P(RsHintFault, Reports) { EXPECT_EQ(load_rs(GetParam().file, 3, 1024), "format error: " + GetParam().error); }

INSTANTIATE_TEST_SUITE_P(
    Cases, RsHintFault,
    ::testing::Values(
        RsCase{"mod_power_u8", testing::simplepir_rs_setup(3, 1024, 300), "simplepir-rs mod_power 300 does not fit in u8"},
        RsCase{"mod_power_16", testing::simplepir_rs_setup(3, 1024, 16).u64(512).u64(64).u64s(512 * 64),
               "unsupported simplepir-rs mod_power: 16"},
        RsCase{"zero_rows", testing::simplepir_rs_setup(3, 1024).u64(0).u64(64),
               "simplepir-rs client hint dimensions must be greater than zero"},
        RsCase{"ends_before_ncols", testing::simplepir_rs_setup(3, 1024).u64(0),
               "client_hint.bin ended while reading simplepir-rs matrix ncols"},
        RsCase{"huge_matrix", testing::simplepir_rs_setup(3, 1024).u64(1ull << 40).u64(1ull << 30).u64s(3),
               "client_hint.bin ended while reading simplepir-rs matrix value"},
        RsCase{"row_count", testing::simplepir_rs_setup(3, 1024).u64(511).u64(64).u64s(511 * 64),
               "simplepir-rs client hint row count 511 does not match expected 512"},
        RsCase{"column_count", testing::simplepir_rs_setup(3, 1024).u64(512).u64(63).u64s(512 * 63),
               "simplepir-rs client hint column count 63 does not match expected 64"},
        RsCase{"zero_setup_seed", testing::simplepir_rs_setup(3, 1024, 17, 0).u64(512).u64(64).u64s(512 * 64),
               "simplepir-rs setup_seed cannot be zero"},
        RsCase{"trailing", testing::simplepir_rs_hint(3, 1024).raw(1), "client_hint.bin has 1 trailing bytes"}),
    [](const auto& test_case) { return test_case.param.name; });

TEST(SimplePirRsClientHint, ZeroServerHintIsAccepted) {
  ByteWriter file = testing::simplepir_rs_setup(3, 8, 17, 5, 0);
  file.u64(4).u64(64).u64s(4 * 64);
  EXPECT_EQ(load_rs(file, 3, 8), "ok");
}

TEST(SimplePirRsClientHint, LaneCountOverflow) {
  EXPECT_EQ(simplepir_rs_lane_count(18446744073709551615u).error().display(),
            "format error: simplepir-rs lane count overflow");
  EXPECT_EQ(simplepir_rs_lane_count(5).value(), 3u);
}

}  // namespace
}  // namespace quorvex
