#include "pir/pir_params.hpp"

#include <limits>

#include "core/manifest.hpp"
#include "core/profile_names.hpp"
#include "core/text.hpp"
#include "pir/pir_profiles.hpp"

namespace quorvex {

namespace {

// Parses an unsigned decimal: an optional single "+", then one or more ASCII
// digits, nothing else. The error is the reason text.
template <class Unsigned>
std::expected<Unsigned, std::string_view> parse_decimal(std::string_view text) {
  if (text.empty()) return std::unexpected("cannot parse integer from empty string");
  if (text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::unexpected("invalid digit found in string");
  Unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::unexpected("invalid digit found in string");
    if (__builtin_mul_overflow(value, Unsigned{10}, &value) ||
        __builtin_add_overflow(value, static_cast<Unsigned>(c - '0'), &value)) {
      return std::unexpected("number too large to fit in target type");
    }
  }
  return value;
}

std::string_view param_or(const PirParamMap& params, std::string_view key, std::string_view fallback) {
  const auto found = params.find(key);
  return found == params.end() ? fallback : std::string_view(found->second);
}

Status require_value(std::string_view name, std::uint64_t actual, std::uint64_t expected) {
  if (actual != expected) return format_error(concat("unsupported PIR ", name, ": ", actual));
  return {};
}

Status require_value(std::string_view name, std::string_view actual, std::string_view expected) {
  if (actual != expected) return format_error(concat("unsupported PIR ", name, ": ", actual));
  return {};
}

Status validate_profile_values(const PirParams& params, const PirProfileValues& profile) {
  QV_TRY(require_value("matrix_width", params.matrix_width, profile.matrix_width));
  QV_TRY(require_value("modulus", params.modulus, profile.modulus));
  QV_TRY(require_value("plaintext_modulus", params.plaintext_modulus, profile.plaintext_modulus));
  QV_TRY(require_value("noise_distribution", params.noise_distribution, profile.noise_distribution));
  QV_TRY(require_value("matrix_prg", params.matrix_prg, profile.matrix_prg));
  return require_value("query_rng", params.query_rng, profile.query_rng);
}

}  // namespace

Result<std::uint64_t> parse_pir_param_u64(const PirParamMap& pir_params, std::string_view key,
                                          std::uint64_t fallback) {
  const auto found = pir_params.find(key);
  if (found == pir_params.end()) return fallback;
  const auto parsed = parse_decimal<std::uint64_t>(found->second);
  if (!parsed) {
    return format_error(concat("invalid PIR params ", key, " value ", found->second, ": ", parsed.error()));
  }
  return *parsed;
}

Result<PirParams> PirParams::from_manifest(const BundleManifest& manifest) {
  QV_TRY(manifest.validate_pir_metadata());
  const std::optional<PirScheme> scheme = pir_scheme_named(manifest.pir_scheme);
  if (!scheme) return format_error(concat("unsupported PIR scheme: ", manifest.pir_scheme));
  const PirParamMap& map = manifest.pir_params;
  const auto schema = map.find(std::string_view("schema_version"));
  if (schema == map.end()) return format_error("missing or invalid PIR params schema_version");
  const auto schema_version = parse_decimal<std::uint32_t>(schema->second);
  if (!schema_version) return format_error("missing or invalid PIR params schema_version");

  PirParams params;
  params.scheme = *scheme;
  params.schema_version = *schema_version;
  params.security_status = param_or(map, "security_status", kExperimentalStatus);
  params.parameter_profile = param_or(map, "parameter_profile", kSupportedProfile);
  params.matrix_width = QV_TRY(parse_pir_param_u64(map, "matrix_width", kToyProfileValues.matrix_width));
  params.modulus = QV_TRY(parse_pir_param_u64(map, "modulus", kToyProfileValues.modulus));
  params.plaintext_modulus =
      QV_TRY(parse_pir_param_u64(map, "plaintext_modulus", kToyProfileValues.plaintext_modulus));
  params.noise_distribution = param_or(map, "noise_distribution", kToyProfileValues.noise_distribution);
  params.matrix_prg = param_or(map, "matrix_prg", kToyProfileValues.matrix_prg);
  params.query_rng = param_or(map, "query_rng", kToyProfileValues.query_rng);
  params.record_count = manifest.pir_record_count;
  params.record_size_bytes = manifest.pir_record_size_bytes;
  return params;
}

Status PirParams::validate() const {
  if (schema_version != 1) return format_error(concat("unsupported PIR params schema_version: ", schema_version));
  if (record_count == 0) return format_error("PIR params record_count must be greater than zero");
  if (record_size_bytes < 4) return format_error("PIR params record_size_bytes must leave room for a length prefix");
  const PirProfile* profile = find_pir_profile(parameter_profile);
  if (profile == nullptr) return format_error(concat("unsupported PIR parameter_profile: ", parameter_profile));
  QV_TRY(require_security_status(parameter_profile, security_status, profile->security_status));
  QV_TRY(validate_profile_values(*this, profile->values));
  if (parameter_profile == kSupportedProfile) {
    QV_TRY(validate_supported_profile_record_shape(record_count, record_size_bytes));
  }
  if (scheme != profile->scheme) {
    return format_error(concat("PIR parameter_profile ", parameter_profile, " requires PIR scheme ",
                               pir_scheme_name(profile->scheme), ", got ", pir_scheme_name(scheme)));
  }
  return {};
}

}  // namespace quorvex
