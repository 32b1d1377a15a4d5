#include "pir/simplepir_rs_client_hint.hpp"

#include <algorithm>
#include <vector>

#include "core/text.hpp"
#include "pir/hint_cursor.hpp"
#include "pir/pir_profiles.hpp"
#include "pir/setup_checks.hpp"

namespace quorvex {

namespace {

constexpr std::uint8_t kModPower = 17;

Result<SimplePirRsSetup> read_simplepir_rs_setup(Cursor& cursor) {
  SimplePirRsSetup setup;
  setup.record_count = QV_TRY(cursor.read_u64("simplepir-rs record_count"));
  setup.record_size_bytes = QV_TRY(cursor.read_u64("simplepir-rs record_size_bytes"));
  setup.lane_count = QV_TRY(cursor.read_u64("simplepir-rs lane_count"));
  setup.square_side_len = QV_TRY(cursor.read_u64("simplepir-rs square_side_len"));
  setup.secret_dimension = QV_TRY(cursor.read_u64("simplepir-rs secret_dimension"));
  const std::uint64_t mod_power = QV_TRY(cursor.read_u64("simplepir-rs mod_power"));
  if (mod_power > 255) return format_error(concat("simplepir-rs mod_power ", mod_power, " does not fit in u8"));
  setup.mod_power = static_cast<std::uint8_t>(mod_power);
  setup.plaintext_modulus = QV_TRY(cursor.read_u64("simplepir-rs plaintext_modulus"));
  setup.setup_seed = QV_TRY(cursor.read_u64("simplepir-rs setup_seed"));
  setup.server_hint = QV_TRY(cursor.read_u64("simplepir-rs server_hint"));
  return setup;
}

Status require_match(std::string_view field, std::uint64_t setup_value, std::string_view against,
                     std::uint64_t other) {
  return require_setup_match("simplepir-rs", field, setup_value, against, other);
}

}  // namespace

Result<std::uint64_t> simplepir_rs_lane_count(std::uint64_t record_size_bytes) {
  std::uint64_t padded = 0;
  if (__builtin_add_overflow(record_size_bytes, std::uint64_t{1}, &padded)) {
    return format_error("simplepir-rs lane count overflow");
  }
  return padded / 2;
}

Status require_simplepir_rs_profile(const PirParams& params) {
  return require_backend_profile(params, is_simplepir_rs_parameter_profile(params.parameter_profile), "simplepir-rs");
}

Result<SimplePirRsClientArtifact> SimplePirRsClientArtifact::from_bytes(std::span<const std::uint8_t> bytes) {
  Cursor cursor(bytes, kClientHintLabel);
  if (!cursor.skip_magic("QVSRC001")) return format_error("client_hint.bin has an unsupported SimplePIR magic header");
  const SimplePirRsSetup setup = QV_TRY(read_simplepir_rs_setup(cursor));
  const std::uint64_t rows = QV_TRY(cursor.read_u64("simplepir-rs matrix nrows"));
  const std::uint64_t columns = QV_TRY(cursor.read_u64("simplepir-rs matrix ncols"));
  if (rows == 0 || columns == 0) return format_error("simplepir-rs client hint dimensions must be greater than zero");
  // Allocate only what the bytes can hold; a short file ends at its first missing value.
  std::uint64_t declared = 0;
  if (__builtin_mul_overflow(rows, columns, &declared)) declared = UINT64_MAX;
  if (declared > cursor.remaining() / 8) {
    return format_error(concat(kClientHintLabel, " ended while reading simplepir-rs matrix value"));
  }
  std::vector<std::uint64_t> values(static_cast<std::size_t>(declared));
  cursor.read_words(std::span(values));
  QV_TRY(cursor.finish());
  return SimplePirRsClientArtifact{setup, Matrix::from_row_major(rows, columns, std::move(values))};
}

Status SimplePirRsSetup::validate_against(const PirParams& params) const {
  QV_TRY(params.validate());
  QV_TRY(require_simplepir_rs_profile(params));
  QV_TRY(require_match("record_count", record_count, "params", params.record_count));
  QV_TRY(require_match("record_size_bytes", record_size_bytes, "params", params.record_size_bytes));
  const std::uint64_t expected_lanes = QV_TRY(simplepir_rs_lane_count(record_size_bytes));
  QV_TRY(require_match("lane_count", lane_count, "expected", expected_lanes));
  const std::uint64_t expected_side = std::max({record_count, expected_lanes, std::uint64_t{1}});
  QV_TRY(require_match("square_side_len", square_side_len, "expected", expected_side));
  QV_TRY(require_match("secret_dimension", secret_dimension, "params", params.matrix_width));
  if (mod_power != kModPower) return format_error(concat("unsupported simplepir-rs mod_power: ", mod_power));
  QV_TRY(require_match("plaintext_modulus", plaintext_modulus, "params", params.plaintext_modulus));
  if (setup_seed == 0) return format_error("simplepir-rs setup_seed cannot be zero");
  return {};
}

Status validate_simplepir_rs_hint_shape(const SimplePirRsClientArtifact& artifact) {
  const SimplePirRsSetup& setup = artifact.setup;
  if (artifact.hint.nrows() != setup.square_side_len) {
    return format_error(concat("simplepir-rs client hint row count ", artifact.hint.nrows(), " does not match expected ",
                               setup.square_side_len));
  }
  if (artifact.hint.ncols() != setup.secret_dimension) {
    return format_error(concat("simplepir-rs client hint column count ", artifact.hint.ncols(),
                               " does not match expected ", setup.secret_dimension));
  }
  return {};
}

}  // namespace quorvex
