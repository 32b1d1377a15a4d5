#include "pir/balanced_client_hint.hpp"

#include <cstring>

#include "core/text.hpp"
#include "pir/hint_cursor.hpp"
#include "pir/pir_profiles.hpp"
#include "pir/setup_checks.hpp"

namespace quorvex {

namespace {

constexpr std::string_view kMagic = "QVBLC001";

Status require_match(std::string_view field, std::uint64_t setup_value, std::string_view against,
                     std::uint64_t other) {
  return require_setup_match("balanced", field, setup_value, against, other);
}

}  // namespace

Status require_balanced_profile(const PirParams& params) {
  return require_backend_profile(params, params.parameter_profile == kBalancedProfile, "balanced");
}

Result<BalancedClientArtifact> BalancedClientArtifact::from_bytes(std::span<const std::uint8_t> bytes) {
  Cursor cursor(bytes, kClientHintLabel);
  if (!cursor.skip_magic(kMagic)) return format_error("client_hint.bin has an unsupported SimplePIR magic header");
  BalancedClientArtifact artifact;
  BalancedLayout& layout = artifact.setup.layout;
  layout.record_count = QV_TRY(cursor.read_u64("balanced record_count"));
  layout.record_size_bytes = QV_TRY(cursor.read_u64("balanced record_size_bytes"));
  layout.digits_per_record = QV_TRY(cursor.read_u64("balanced digits_per_record"));
  layout.records_per_column = QV_TRY(cursor.read_u64("balanced records_per_column"));
  layout.columns = QV_TRY(cursor.read_u64("balanced columns"));
  layout.rows = QV_TRY(cursor.read_u64("balanced rows"));
  artifact.setup.secret_dimension = QV_TRY(cursor.read_u64("balanced secret_dimension"));
  for (std::size_t word = 0; word < 4; ++word) {
    const std::uint64_t value = QV_TRY(cursor.read_u64("balanced public matrix key"));
    std::memcpy(artifact.setup.matrix_key.data() + 8 * word, &value, 8);
  }
  // Allocate only what the bytes can hold; a short file ends at its first missing value.
  std::uint64_t declared = 0;
  if (__builtin_mul_overflow(layout.rows, artifact.setup.secret_dimension, &declared)) declared = UINT64_MAX;
  if (declared > cursor.remaining() / 4) {
    return format_error(concat(kClientHintLabel, " ended while reading balanced hint value"));
  }
  artifact.hint.resize(static_cast<std::size_t>(declared));
  cursor.read_words(std::span(artifact.hint));
  QV_TRY(cursor.finish());
  return artifact;
}

Status BalancedSetup::validate_against(const PirParams& params) const {
  QV_TRY(params.validate());
  QV_TRY(require_balanced_profile(params));
  QV_TRY(require_match("record_count", layout.record_count, "params", params.record_count));
  QV_TRY(require_match("record_size_bytes", layout.record_size_bytes, "params", params.record_size_bytes));
  const BalancedLayout expected = QV_TRY(BalancedLayout::for_store(params.record_count, params.record_size_bytes));
  QV_TRY(require_match("digits_per_record", layout.digits_per_record, "expected", expected.digits_per_record));
  QV_TRY(require_match("records_per_column", layout.records_per_column, "expected", expected.records_per_column));
  QV_TRY(require_match("columns", layout.columns, "expected", expected.columns));
  QV_TRY(require_match("rows", layout.rows, "expected", expected.rows));
  return require_match("secret_dimension", secret_dimension, "params", params.matrix_width);
}

Status validate_balanced_hint_shape(const BalancedClientArtifact& artifact) {
  const BalancedSetup& setup = artifact.setup;
  std::uint64_t expected = 0;
  if (__builtin_mul_overflow(setup.layout.rows, setup.secret_dimension, &expected) ||
      artifact.hint.size() != expected) {
    return format_error(concat("balanced client hint holds ", artifact.hint.size(), " values, expected ",
                               setup.layout.rows, " rows of ", setup.secret_dimension));
  }
  return {};
}

}  // namespace quorvex
