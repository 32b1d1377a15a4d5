#include "pir/pir_backend.hpp"

#include "core/profile_names.hpp"
#include "core/text.hpp"
#include "pir/pir_profiles.hpp"

namespace quorvex {

Result<PirClientArtifact> SelectedPirBackend::load_client_artifact(const PirParams& params,
                                                                   ClientHintContents contents) const {
  if (auto* parsed = std::get_if<Result<BalancedClientArtifact>>(&contents)) {
    // Only a cache of the balanced profile has its hint parsed as it is read.
    if (!std::holds_alternative<BalancedBackend>(backend_)) {
      return format_error("PIR client artifact does not match selected backend");
    }
    return PirClientArtifact(QV_TRY(BalancedBackend::load_client_artifact(params, std::move(*parsed))));
  }
  const std::string& file = std::get<std::string>(contents);
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size());
  if (std::holds_alternative<ToySimplePirBackend>(backend_)) {
    return PirClientArtifact(QV_TRY(ToySimplePirBackend::load_client_artifact(params, bytes)));
  }
  if (std::holds_alternative<SimplePirRsBackend>(backend_)) {
    return PirClientArtifact(QV_TRY(SimplePirRsBackend::load_client_artifact(params, bytes)));
  }
  return PirClientArtifact(QV_TRY(BalancedBackend::load_client_artifact(params, bytes)));
}

Result<SelectedPirBackend> select_pir_backend(const PirParams& params) {
  const PirProfile* profile = find_pir_profile(params.parameter_profile);
  if (profile == nullptr) return format_error(concat("unsupported PIR parameter_profile: ", params.parameter_profile));
  switch (profile->backend) {
    case PirBackendKind::Toy:
      QV_TRY(params.validate());
      return SelectedPirBackend(ToySimplePirBackend{});
    case PirBackendKind::SimplePirRs:
      return SelectedPirBackend(QV_TRY(SimplePirRsBackend::for_params(params)));
    case PirBackendKind::Balanced:
      QV_TRY(params.validate());
      return SelectedPirBackend(BalancedBackend{});
  }
  return format_error(concat("unsupported PIR parameter_profile: ", params.parameter_profile));
}

}  // namespace quorvex
