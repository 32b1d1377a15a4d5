#include "pir/toy_backend.hpp"

namespace quorvex {

Result<SimplePirClientArtifact> ToySimplePirBackend::load_client_artifact(const PirParams& params,
                                                                          std::span<const std::uint8_t> bytes) {
  QV_TRY(params.validate());
  QV_TRY(require_toy_profile(params));
  SimplePirClientArtifact artifact = QV_TRY(SimplePirClientArtifact::from_bytes(bytes));
  QV_TRY(artifact.setup.validate_against(params));
  QV_TRY(validate_toy_hint_length(artifact));
  return artifact;
}

}  // namespace quorvex
