#include "pir/balanced_client_hint.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "core/text.hpp"
#include "pir/hint_cursor.hpp"
#include "pir/pir_profiles.hpp"
#include "pir/setup_checks.hpp"

namespace quorvex {

namespace {

constexpr std::string_view kMagic = "QVBLC001";

// The magic, the seven layout fields and the four words of the public matrix key.
constexpr std::size_t kSetupBytes = 96;

Status require_match(std::string_view field, std::uint64_t setup_value, std::string_view against,
                     std::uint64_t other) {
  return require_setup_match("balanced", field, setup_value, against, other);
}

std::unexpected<QuorvexError> missing_values() {
  return format_error(concat(kClientHintLabel, " ended while reading balanced hint value"));
}

// The setup the file starts with.
Result<BalancedSetup> read_setup(Cursor& cursor) {
  if (!cursor.skip_magic(kMagic)) return format_error("client_hint.bin has an unsupported SimplePIR magic header");
  BalancedSetup setup;
  BalancedLayout& layout = setup.layout;
  layout.record_count = QV_TRY(cursor.read_u64("balanced record_count"));
  layout.record_size_bytes = QV_TRY(cursor.read_u64("balanced record_size_bytes"));
  layout.digits_per_record = QV_TRY(cursor.read_u64("balanced digits_per_record"));
  layout.records_per_column = QV_TRY(cursor.read_u64("balanced records_per_column"));
  layout.columns = QV_TRY(cursor.read_u64("balanced columns"));
  layout.rows = QV_TRY(cursor.read_u64("balanced rows"));
  setup.secret_dimension = QV_TRY(cursor.read_u64("balanced secret_dimension"));
  for (std::size_t word = 0; word < 4; ++word) {
    const std::uint64_t value = QV_TRY(cursor.read_u64("balanced public matrix key"));
    std::memcpy(setup.matrix_key.data() + 8 * word, &value, 8);
  }
  return setup;
}

// The number of hint values the setup declares, when `value_bytes` hold them:
// nothing is allocated for more values than the file holds.
Result<std::size_t> declared_values(const BalancedSetup& setup, std::uint64_t value_bytes) {
  std::uint64_t declared = 0;
  if (__builtin_mul_overflow(setup.layout.rows, setup.secret_dimension, &declared)) declared = UINT64_MAX;
  if (declared > value_bytes / sizeof(std::uint32_t)) return missing_values();
  return static_cast<std::size_t>(declared);
}

}  // namespace

Status require_balanced_profile(const PirParams& params) {
  return require_backend_profile(params, params.parameter_profile == kBalancedProfile, "balanced");
}

Result<BalancedClientArtifact> BalancedClientArtifact::from_bytes(std::span<const std::uint8_t> bytes) {
  Cursor cursor(bytes, kClientHintLabel);
  BalancedClientArtifact artifact;
  artifact.setup = QV_TRY(read_setup(cursor));
  artifact.hint.resize(QV_TRY(declared_values(artifact.setup, cursor.remaining())));
  cursor.read_words(std::span(artifact.hint));
  QV_TRY(cursor.finish());
  return artifact;
}

Result<Result<BalancedClientArtifact>> BalancedClientArtifact::read_from(InputFile& file, std::uint64_t keep_at_most) {
  using Parsed = Result<BalancedClientArtifact>;
  const std::optional<std::uint64_t> size = file.size_on_disk();
  // Without a size on disk nothing bounds the values before they arrive: the
  // bytes are read as they come, then parsed.
  if (!size) {
    const std::string bytes = QV_TRY(file.read_to_end(keep_at_most));
    return from_bytes(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }
  std::array<std::uint8_t, kSetupBytes> head{};
  const std::size_t head_bytes = QV_TRY(file.read_up_to(std::span(reinterpret_cast<char*>(head.data()), head.size())));
  Cursor cursor(std::span<const std::uint8_t>(head).first(head_bytes), kClientHintLabel);
  BalancedClientArtifact artifact;
  Result<BalancedSetup> setup = read_setup(cursor);
  if (!setup) return Parsed(std::unexpected(std::move(setup).error()));
  artifact.setup = *setup;
  // A whole setup was read: the values can only be in the bytes after it that are kept.
  const std::uint64_t kept = std::min(*size, keep_at_most);
  const Result<std::size_t> declared = declared_values(artifact.setup, kept > kSetupBytes ? kept - kSetupBytes : 0);
  if (!declared) return Parsed(std::unexpected(declared.error()));
  artifact.hint.resize(*declared);
  const std::span<char> values(reinterpret_cast<char*>(artifact.hint.data()), *declared * sizeof(std::uint32_t));
  // A file that shrank meanwhile ends early, as from_bytes would find it.
  if (QV_TRY(file.read_up_to(values)) != values.size()) return Parsed(missing_values());
  const Status trailing = require_no_trailing_bytes(kClientHintLabel, QV_TRY(file.skip_to_end()));
  if (!trailing) return Parsed(std::unexpected(trailing.error()));
  return Parsed(std::move(artifact));
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
