#include "pir/simplepir_rs_backend.hpp"

#include "core/profile_names.hpp"
#include "core/text.hpp"
#include "pir/pir_profiles.hpp"

namespace quorvex {

Result<SimplePirRsBackend> SimplePirRsBackend::for_params(const PirParams& params) {
  if (!is_simplepir_rs_parameter_profile(params.parameter_profile)) {
    return format_error(concat("unsupported PIR parameter_profile: ", params.parameter_profile));
  }
  QV_TRY(params.validate());
  if (params.parameter_profile == kSupportedProfile) return SimplePirRsBackend(kSupportedProfile, kSupportedStatus);
  return SimplePirRsBackend(kExperimentalProfile, kExperimentalStatus);
}

Result<SimplePirRsClientArtifact> SimplePirRsBackend::load_client_artifact(const PirParams& params,
                                                                           std::span<const std::uint8_t> bytes) {
  QV_TRY(params.validate());
  QV_TRY(require_simplepir_rs_profile(params));
  SimplePirRsClientArtifact artifact = QV_TRY(SimplePirRsClientArtifact::from_bytes(bytes));
  QV_TRY(artifact.setup.validate_against(params));
  QV_TRY(validate_simplepir_rs_hint_shape(artifact));
  return artifact;
}

}  // namespace quorvex
