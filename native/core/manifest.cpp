#include "core/manifest.hpp"

#include "core/bundle_paths.hpp"
#include "core/profile_names.hpp"
#include "core/text.hpp"

namespace quorvex {

namespace {

Status require_not_blank(std::string_view value, std::string_view message) {
  if (is_blank(value)) return format_error(std::string(message));
  return {};
}

const std::string* find_param(const PirParamMap& params, std::string_view key) {
  const auto found = params.find(key);
  return found == params.end() ? nullptr : &found->second;
}

Status validate_artifact_path(std::string_view value, std::string_view name, std::string_view required) {
  if (is_blank(value)) return format_error(concat(name, " cannot be empty"));
  if (value != required) return format_error(concat(name, " must be ", required, ", got ", value));
  return {};
}

}  // namespace

Status PirArtifactManifest::validate_v0() const {
  QV_TRY(validate_artifact_path(scheme, "pir_artifacts.scheme", kPirSchemeFile));
  QV_TRY(validate_artifact_path(client_hint, "pir_artifacts.client_hint", kPirClientHintFile));
  return validate_artifact_path(server_hint, "pir_artifacts.server_hint", kPirServerHintFile);
}

Status BundleManifest::validate_v0() const {
  QV_TRY(require_not_blank(quorvex_version, "manifest quorvex_version cannot be empty"));
  if (quorvex_version != kQuorvexVersion) {
    return format_error(concat("unsupported Quorvex version: ", quorvex_version, "; expected ", kQuorvexVersion));
  }
  QV_TRY(require_not_blank(bundle_id, "manifest bundle_id cannot be empty"));
  QV_TRY(require_not_blank(bundle_version, "manifest bundle_version cannot be empty"));
  QV_TRY(require_not_blank(embedding_model, "manifest embedding_model cannot be empty"));
  QV_TRY(require_not_blank(created_at, "manifest created_at cannot be empty"));
  if (embedding_dimensions == 0) return format_error("manifest embedding_dimensions must be greater than zero");
  if (chunk_count == 0) return format_error("manifest chunk_count must be greater than zero");
  if (record_size_bytes < 4) {
    return format_error("manifest record_size_bytes must leave room for a length prefix");
  }
  if (index_format != kIndexFormat) return format_error(concat("unsupported index format: ", index_format));
  if (pir_store_format != kPirStoreFormat) {
    return format_error(concat("unsupported PIR store format: ", pir_store_format));
  }
  return validate_pir_metadata();
}

Status BundleManifest::validate_pir_metadata() const {
  // The balanced scheme belongs to the balanced profile alone; that profile's rule checks the pair.
  const std::string* profile = find_param(pir_params, "parameter_profile");
  const bool balanced = pir_scheme == kBalancedSchemeName && profile != nullptr && *profile == kBalancedProfile;
  if (pir_scheme != kPirSchemeName && !balanced) return format_error(concat("unsupported PIR scheme: ", pir_scheme));
  const std::string* schema_version = find_param(pir_params, "schema_version");
  if (schema_version == nullptr) return format_error("missing PIR params schema_version");
  if (*schema_version != "1") {
    return format_error(concat("unsupported PIR params schema_version: ", *schema_version));
  }
  if (pir_record_count != chunk_count) {
    return format_error(concat("PIR record count ", pir_record_count, " does not match manifest chunk count ",
                               chunk_count));
  }
  if (pir_record_size_bytes != record_size_bytes) {
    return format_error(concat("PIR record size ", pir_record_size_bytes, " does not match chunk record size ",
                               record_size_bytes));
  }
  QV_TRY(validate_profile_specific_manifest_shape(*this));
  return pir_artifacts.validate_v0();
}

Status validate_profile_specific_manifest_shape(const BundleManifest& manifest) {
  const std::string* profile = find_param(manifest.pir_params, "parameter_profile");
  if (profile == nullptr) return format_error("missing PIR parameter_profile");
  if (*profile == kSupportedProfile) {
    QV_TRY(validate_profile_security_status(manifest.pir_params, kSupportedProfile, kSupportedStatus));
    if (manifest.embedding_dimensions != kSupportedDimensions) {
      return format_error(concat("PIR parameter_profile ", kSupportedProfile, " requires ", kSupportedDimensions,
                                 "-dimensional embeddings, got ", manifest.embedding_dimensions));
    }
    return validate_supported_profile_record_shape(manifest.pir_record_count, manifest.pir_record_size_bytes);
  }
  if (*profile == kToyProfile || *profile == kExperimentalProfile) {
    return validate_profile_security_status(manifest.pir_params, *profile, kExperimentalStatus);
  }
  if (*profile == kBalancedProfile) {
    QV_TRY(validate_profile_security_status(manifest.pir_params, kBalancedProfile, kBalancedStatus));
    if (manifest.pir_scheme != kBalancedSchemeName) {
      return format_error(concat("PIR parameter_profile ", kBalancedProfile, " requires PIR scheme ",
                                 kBalancedSchemeName, ", got ", manifest.pir_scheme));
    }
    return {};
  }
  return format_error(concat("unsupported PIR parameter_profile: ", *profile));
}

Status validate_profile_security_status(const PirParamMap& pir_params, std::string_view profile,
                                        std::string_view expected) {
  const std::string* status = find_param(pir_params, "security_status");
  if (status == nullptr) return format_error(concat("missing PIR security_status for ", profile));
  return require_security_status(profile, *status, expected);
}

Status require_security_status(std::string_view profile, std::string_view status, std::string_view expected) {
  if (status == expected) return {};
  return format_error(concat("unsupported PIR security_status for ", profile, ": ", status, "; expected ", expected));
}

Status validate_supported_profile_record_shape(std::uint64_t record_count, std::uint64_t record_size_bytes) {
  if (record_count > kSupportedMaxRecords) {
    return format_error(concat("PIR parameter_profile ", kSupportedProfile, " supports at most ", kSupportedMaxRecords,
                               " records, got ", record_count));
  }
  if (record_size_bytes != kSupportedRecordSizeBytes) {
    return format_error(concat("PIR parameter_profile ", kSupportedProfile, " requires ", kSupportedRecordSizeBytes,
                               "-byte records, got ", record_size_bytes));
  }
  return {};
}

namespace {

bool names_profile(const BundleManifest& manifest, std::string_view name) {
  const std::string* profile = find_param(manifest.pir_params, "parameter_profile");
  return profile != nullptr && *profile == name;
}

}  // namespace

bool is_supported_simplepir_rs_manifest(const BundleManifest& manifest) {
  return names_profile(manifest, kSupportedProfile);
}

bool is_balanced_manifest(const BundleManifest& manifest) { return names_profile(manifest, kBalancedProfile); }

}  // namespace quorvex
