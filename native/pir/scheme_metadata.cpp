#include "pir/scheme_metadata.hpp"

#include "core/profile_names.hpp"
#include "core/text.hpp"
#include "pir/pir_profiles.hpp"

namespace quorvex {

namespace {

constexpr std::string_view kSimplePirRsBackendName = "simplepir-rs-v1.0.1";
constexpr std::string_view kSimplePirRsImplementationStatus = "external-crate-experimental";
constexpr std::string_view kToyBackendName = "toy-simplepir-lwe-v0";
constexpr std::string_view kToyImplementationStatus = "toy-development-only";
constexpr std::string_view kBalancedBackendName = "quorvex-balanced-v1";
constexpr std::string_view kBalancedImplementationStatus = "quorvex-native-unaudited";

bool contains(std::string_view text, std::string_view phrase) { return text.find(phrase) != std::string_view::npos; }

}  // namespace

Status PirBackendMetadata::validate_against(const PirParams& params) const {
  if (parameter_profile != params.parameter_profile) {
    return format_error("PIR backend metadata parameter_profile does not match params");
  }
  if (security_status != params.security_status) {
    return format_error("PIR backend metadata security_status does not match params");
  }
  const bool simplepir_rs = backend_name == kSimplePirRsBackendName &&
                            implementation_status == kSimplePirRsImplementationStatus &&
                            is_simplepir_rs_parameter_profile(parameter_profile);
  const bool toy = backend_name == kToyBackendName && implementation_status == kToyImplementationStatus &&
                   parameter_profile == kToyProfile;
  const bool balanced = backend_name == kBalancedBackendName &&
                        implementation_status == kBalancedImplementationStatus &&
                        parameter_profile == kBalancedProfile;
  if (simplepir_rs || toy || balanced) return {};
  return format_error(concat("unsupported PIR backend/profile combination: backend=", backend_name,
                             ", implementation_status=", implementation_status,
                             ", parameter_profile=", parameter_profile));
}

Result<PirArtifacts> PirArtifacts::from_manifest(const BundleManifest& manifest) {
  QV_TRY(manifest.pir_artifacts.validate_v0());
  const PirArtifactManifest& paths = manifest.pir_artifacts;
  return PirArtifacts{paths.scheme, paths.client_hint, paths.server_hint};
}

Status PirSchemeMetadata::validate() const {
  QV_TRY(params.validate());
  QV_TRY(backend.validate_against(params));
  if (scheme != params.scheme || backend.scheme != params.scheme) {
    return format_error("PIR scheme metadata scheme does not match params");
  }
  if (params.parameter_profile == kBalancedProfile) {
    if (experimental) return format_error("balanced PIR scheme metadata must not mark the profile experimental");
    if (!contains(security_note, "estimate") || !contains(security_note, "unaudited")) {
      return format_error("balanced PIR scheme metadata security_note must say estimate and unaudited");
    }
    return {};
  }
  if (params.parameter_profile == kSupportedProfile) {
    if (experimental) return format_error("supported PIR scheme metadata must not mark the profile experimental");
    if (!contains(security_note, "unaudited") || !contains(security_note, "not externally audited")) {
      return format_error("supported PIR scheme metadata security_note must say unaudited and not externally audited");
    }
    return {};
  }
  if (!experimental) return format_error("PIR scheme metadata must mark simplepir-lwe-v0 as experimental");
  if (!contains(security_note, "experimental") || !contains(security_note, "unaudited")) {
    return format_error("PIR scheme metadata security_note must say experimental and unaudited");
  }
  return {};
}

}  // namespace quorvex
