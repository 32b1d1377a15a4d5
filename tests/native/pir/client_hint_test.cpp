// The client hint files of both backends: a valid file loads, and each broken
// one is refused by the first check it fails.
#include <gtest/gtest.h>

#include "pir/pir_backend.hpp"
#include "support/pir_fixtures.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using testing::ByteWriter;

std::string load_toy(const ByteWriter& file) {
  const PirParams params = testing::params_for("toy-development-only-v0", 3, 8);
  return testing::outcome(ToySimplePirBackend::load_client_artifact(params, file.bytes()));
}

std::string load_rs(const ByteWriter& file, std::uint64_t records, std::uint64_t record_size) {
  const PirParams params = testing::params_for("simplepir-rs-experimental-v0", records, record_size);
  return testing::outcome(SimplePirRsBackend::load_client_artifact(params, file.bytes()));
}

TEST(ClientHint, ValidFilesLoad) {
  EXPECT_EQ(load_toy(testing::toy_hint(3, 8)), "ok");
  const auto toy = SimplePirClientArtifact::from_bytes(testing::toy_hint(3, 8).bytes()).value();
  EXPECT_EQ(toy.hint.size(), 128u);
  EXPECT_EQ(toy.hint[127], 128u);
  EXPECT_EQ(toy.setup.matrix_seed, 7u);
  // (records, record size): lanes and square side follow from them; a zero server hint is allowed.
  for (const auto& [records, size] : {std::pair<std::uint64_t, std::uint64_t>{3, 5}, {10, 5}, {1, 4}, {1000, 1024}}) {
    EXPECT_EQ(load_rs(testing::simplepir_rs_hint(records, size), records, size), "ok") << records << "x" << size;
  }
  EXPECT_EQ(load_rs(testing::simplepir_rs_setup(3, 8, 17, 5, 0).u64(4).u64(64).u64s(4 * 64), 3, 8), "ok");
  const auto rs = SimplePirRsClientArtifact::from_bytes(testing::simplepir_rs_hint(10, 5).bytes()).value();
  EXPECT_EQ(rs.setup.lane_count, 3u);
  EXPECT_EQ(rs.hint.nrows(), 10u);
  EXPECT_EQ(rs.hint.at(9, 63), 640u);
}

using Refusals = std::vector<std::pair<ByteWriter, std::string>>;

TEST(ClientHint, ToyFileRefusals) {
  const auto toy_header = [](std::uint64_t record_size, std::uint64_t hint_length) {
    return testing::toy_setup(3, record_size).u64(hint_length);
  };
  for (const auto& [file, error] : Refusals{
        {ByteWriter{}.magic("QVSPC00"), "client_hint.bin has an unsupported SimplePIR magic header"},
        {testing::simplepir_rs_hint(3, 8), "client_hint.bin has an unsupported SimplePIR magic header"},
        {testing::toy_setup(3, 8), "client_hint.bin ended while reading SimplePIR client hint length"},
        {ByteWriter{}.magic("QVSPC001").u64(3).u64(8).raw(5),
                 "client_hint.bin ended while reading SimplePIR matrix_width"},
        {toy_header(8, 127).u64s(127), "SimplePIR client hint length 127 does not match expected 128"},
        {toy_header(8, 128).u64s(100), "client_hint.bin ended while reading SimplePIR client hint value"},
        // 2^60 x 16 overflows; 2^40 x 16 fits and claims 2^44 values that are not there.
        {toy_header(1ull << 60, 5), "SimplePIR hint length overflow"},
        {toy_header(1ull << 40, 1ull << 44).u64s(2), "client_hint.bin ended while reading SimplePIR client hint value"},
        {testing::toy_hint(3, 8).raw(3), "client_hint.bin has 3 trailing bytes"},
        {testing::toy_hint(3, 8, 16777215), "unsupported SimplePIR delta: 16777215"},
        {testing::toy_hint(3, 8, 16777216, 0), "SimplePIR setup matrix_seed cannot be zero"},
        {testing::toy_hint(4, 8), "SimplePIR setup record_count 4 does not match params 3"}}) {
    EXPECT_EQ(load_toy(file), "format error: " + error);
  }
}

TEST(ClientHint, SimplePirRsFileRefusals) {
  for (const auto& [file, error] : Refusals{
        {testing::simplepir_rs_setup(3, 1024, 300), "simplepir-rs mod_power 300 does not fit in u8"},
        {testing::simplepir_rs_setup(3, 1024, 16).u64(512).u64(64).u64s(512 * 64),
                 "unsupported simplepir-rs mod_power: 16"},
        {testing::simplepir_rs_setup(3, 1024).u64(0).u64(64),
                 "simplepir-rs client hint dimensions must be greater than zero"},
        {testing::simplepir_rs_setup(3, 1024).u64(0), "client_hint.bin ended while reading simplepir-rs matrix ncols"},
        {testing::simplepir_rs_setup(3, 1024).u64(1ull << 40).u64(1ull << 30).u64s(3),
                 "client_hint.bin ended while reading simplepir-rs matrix value"},
        {testing::simplepir_rs_setup(3, 1024).u64(511).u64(64).u64s(511 * 64),
                 "simplepir-rs client hint row count 511 does not match expected 512"},
        {testing::simplepir_rs_setup(3, 1024).u64(512).u64(63).u64s(512 * 63),
                 "simplepir-rs client hint column count 63 does not match expected 64"},
        {testing::simplepir_rs_setup(3, 1024, 17, 0).u64(512).u64(64).u64s(512 * 64),
                 "simplepir-rs setup_seed cannot be zero"},
        {testing::simplepir_rs_hint(3, 1024).raw(1), "client_hint.bin has 1 trailing bytes"}}) {
    EXPECT_EQ(load_rs(file, 3, 1024), "format error: " + error);
  }
}

TEST(ClientHint, BalancedFileRefusals) {
  // 5 records of 13 bytes: 12 digits each, one record per column.
  const PirParams params = testing::params_for("simplepir-balanced-128-v1", 5, 13);
  const auto setup = [](std::uint64_t per_column, std::uint64_t rows, std::uint64_t width = 1408) {
    return testing::balanced_setup(5, 13, 12, per_column, 5, rows, width);
  };
  for (const auto& [file, error] : Refusals{
        {setup(1, 12).u32s(12 * 1408), "ok"},
        {testing::simplepir_rs_hint(5, 13), "format error: client_hint.bin has an unsupported SimplePIR magic header"},
        {ByteWriter{}.magic("QVBLC001").u64(5), "format error: client_hint.bin ended while reading balanced record_size_bytes"},
        {setup(1, 12).u32s(12 * 1408 - 1), "format error: client_hint.bin ended while reading balanced hint value"},
        {setup(1, 1ull << 40).u32s(3), "format error: client_hint.bin ended while reading balanced hint value"},
        {setup(1, 12).u32s(12 * 1408).raw(2), "format error: client_hint.bin has 2 trailing bytes"},
        {setup(2, 24).u32s(24 * 1408), "format error: balanced setup records_per_column 2 does not match expected 1"},
        {setup(1, 12, 1407).u32s(12 * 1407), "format error: balanced setup secret_dimension 1407 does not match params 1408"},
        {testing::balanced_setup(6, 13, 12, 1, 6, 12).u32s(12 * 1408),
         "format error: balanced setup record_count 6 does not match params 5"}}) {
    EXPECT_EQ(testing::outcome(BalancedBackend::load_client_artifact(params, file.bytes())), error);
    // Read from the file, straight into the hint: the same outcome, the same values.
    const testing::TempDir dir;
    testing::write_bytes(dir.path() / "client_hint.bin", file.text());
    InputFile input = InputFile::open(dir.path() / "client_hint.bin").value();
    Result<BalancedClientArtifact> read = BalancedClientArtifact::read_from(input, UINT64_MAX).value();
    if (read) {
      EXPECT_EQ(read->hint, BalancedClientArtifact::from_bytes(file.bytes()).value().hint);
    }
    EXPECT_EQ(testing::outcome(BalancedBackend::load_client_artifact(params, std::move(read))), error);
  }
}

TEST(ClientHint, LaneCountOverflow) {
  EXPECT_EQ(testing::outcome(simplepir_rs_lane_count(18446744073709551615u)), "format error: simplepir-rs lane count overflow");
}

}  // namespace
}  // namespace quorvex
