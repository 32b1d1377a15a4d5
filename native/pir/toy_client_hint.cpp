#include "pir/toy_client_hint.hpp"

#include <algorithm>

#include "core/profile_names.hpp"
#include "core/text.hpp"
#include "pir/hint_cursor.hpp"
#include "pir/setup_checks.hpp"

namespace quorvex {

namespace {

constexpr std::uint64_t kToyModulus = 4294967296u;
constexpr std::uint64_t kToyPlaintextModulus = 256;
constexpr std::uint64_t kToyDelta = 16777216;
constexpr std::uint64_t kToyMatrixWidth = 16;

Result<SimplePirSetup> read_setup(Cursor& cursor) {
  SimplePirSetup setup;
  setup.record_count = QV_TRY(cursor.read_u64("SimplePIR record_count"));
  setup.record_size_bytes = QV_TRY(cursor.read_u64("SimplePIR record_size_bytes"));
  setup.matrix_width = QV_TRY(cursor.read_u64("SimplePIR matrix_width"));
  setup.modulus = QV_TRY(cursor.read_u64("SimplePIR modulus"));
  setup.plaintext_modulus = QV_TRY(cursor.read_u64("SimplePIR plaintext_modulus"));
  setup.delta = QV_TRY(cursor.read_u64("SimplePIR delta"));
  setup.matrix_seed = QV_TRY(cursor.read_u64("SimplePIR matrix_seed"));
  return setup;
}

Status check_hint_length(std::uint64_t length, std::uint64_t expected) {
  if (length != expected) {
    return format_error(concat("SimplePIR client hint length ", length, " does not match expected ", expected));
  }
  return {};
}

Status require_toy_value(std::string_view field, std::uint64_t value, std::uint64_t expected) {
  if (value != expected) return format_error(concat("unsupported SimplePIR ", field, ": ", value));
  return {};
}

}  // namespace

Status require_toy_profile(const PirParams& params) {
  return require_backend_profile(params, params.parameter_profile == kToyProfile, "toy");
}

Result<std::uint64_t> toy_hint_length(const SimplePirSetup& setup) {
  std::uint64_t length = 0;
  if (__builtin_mul_overflow(setup.record_size_bytes, setup.matrix_width, &length)) {
    return format_error("SimplePIR hint length overflow");
  }
  return length;
}

Status validate_toy_hint_length(const SimplePirClientArtifact& artifact) {
  return check_hint_length(artifact.hint.size(), QV_TRY(toy_hint_length(artifact.setup)));
}

Result<SimplePirClientArtifact> SimplePirClientArtifact::from_bytes(std::span<const std::uint8_t> bytes) {
  Cursor cursor(bytes, kClientHintLabel);
  if (!cursor.skip_magic("QVSPC001")) return format_error("client_hint.bin has an unsupported SimplePIR magic header");
  SimplePirClientArtifact artifact;
  artifact.setup = QV_TRY(read_setup(cursor));
  const std::uint64_t length = QV_TRY(cursor.read_u64("SimplePIR client hint length"));
  QV_TRY(check_hint_length(length, QV_TRY(toy_hint_length(artifact.setup))));
  // Reserve only what the bytes can hold; a short file ends at its first missing value.
  artifact.hint.reserve(std::min<std::uint64_t>(length, cursor.remaining() / 8));
  for (std::uint64_t i = 0; i < length; ++i) {
    artifact.hint.push_back(QV_TRY(cursor.read_u64("SimplePIR client hint value")));
  }
  QV_TRY(cursor.finish());
  return artifact;
}

Status SimplePirSetup::validate_against(const PirParams& params) const {
  QV_TRY(params.validate());
  QV_TRY(require_toy_profile(params));
  QV_TRY(require_setup_match("SimplePIR", "record_count", record_count, "params", params.record_count));
  QV_TRY(require_setup_match("SimplePIR", "record_size_bytes", record_size_bytes, "params", params.record_size_bytes));
  QV_TRY(require_toy_value("matrix_width", matrix_width, kToyMatrixWidth));
  QV_TRY(require_toy_value("modulus", modulus, kToyModulus));
  QV_TRY(require_toy_value("plaintext_modulus", plaintext_modulus, kToyPlaintextModulus));
  QV_TRY(require_toy_value("delta", delta, kToyDelta));
  if (matrix_seed == 0) return format_error("SimplePIR setup matrix_seed cannot be zero");
  return {};
}

}  // namespace quorvex
