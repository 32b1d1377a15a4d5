// "pir/scheme.json": the publisher's description of the PIR scheme, the
// backend that produced the hints, and the artifact paths.
#pragma once

#include <string>
#include <string_view>
#include <tuple>

#include "core/error.hpp"
#include "core/json_decode.hpp"
#include "core/manifest.hpp"
#include "pir/pir_params.hpp"

namespace quorvex {

struct PirBackendMetadata {
  PirScheme scheme = PirScheme::SimplePirLweV0;
  std::string backend_name;
  std::string security_status;
  std::string parameter_profile;
  std::string implementation_status;

  // Agreement with the parameters, then an accepted backend/profile combination.
  Status validate_against(const PirParams& params) const;
};

struct PirArtifacts {
  std::string scheme;
  std::string client_hint;
  std::string server_hint;

  // The manifest's artifact paths, after their own validation.
  static Result<PirArtifacts> from_manifest(const BundleManifest& manifest);
  bool operator==(const PirArtifacts&) const = default;
};

struct PirSchemeMetadata {
  PirScheme scheme = PirScheme::SimplePirLweV0;
  PirParams params;
  PirBackendMetadata backend;
  PirArtifacts artifacts;
  bool experimental = false;
  std::string security_note;

  Status validate() const;
};

template <>
struct JsonRecord<PirBackendMetadata> {
  using B = PirBackendMetadata;
  static constexpr std::string_view name = "PirBackendMetadata";
  static constexpr std::tuple fields{
      field("scheme", &B::scheme),
      field("backend_name", &B::backend_name),
      field("security_status", &B::security_status),
      field("parameter_profile", &B::parameter_profile),
      field("implementation_status", &B::implementation_status),
  };
};

template <>
struct JsonRecord<PirArtifacts> {
  static constexpr std::string_view name = "PirArtifacts";
  static constexpr std::tuple fields{
      field("scheme", &PirArtifacts::scheme),
      field("client_hint", &PirArtifacts::client_hint),
      field("server_hint", &PirArtifacts::server_hint),
  };
};

template <>
struct JsonRecord<PirSchemeMetadata> {
  using S = PirSchemeMetadata;
  static constexpr std::string_view name = "PirSchemeMetadata";
  static constexpr std::tuple fields{
      field("scheme", &S::scheme),
      field("params", &S::params),
      field("backend", &S::backend),
      field("artifacts", &S::artifacts),
      field("experimental", &S::experimental),
      field("security_note", &S::security_note),
  };
};

}  // namespace quorvex
