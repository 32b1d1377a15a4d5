// PirParams: the one description of a PIR record store and its lattice
// parameters, derived from the manifest and checked against the profiles.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "core/error.hpp"
#include "core/json_decode.hpp"
#include "core/manifest.hpp"
#include "pir/pir_scheme.hpp"

namespace quorvex {

struct PirParams {
  PirScheme scheme = PirScheme::SimplePirLweV0;
  std::uint32_t schema_version = 0;
  std::uint64_t record_count = 0;
  std::uint64_t record_size_bytes = 0;
  std::string security_status;
  std::string parameter_profile;
  std::uint64_t matrix_width = 0;
  std::uint64_t modulus = 0;
  std::uint64_t plaintext_modulus = 0;
  std::string noise_distribution;
  std::string matrix_prg;
  std::string query_rng;

  // Reads the manifest's pir_params text map (numbers as decimal strings);
  // absent named parameters take the toy profile's values. Does not validate.
  static Result<PirParams> from_manifest(const BundleManifest& manifest);

  // Checks the parameters against the closed set of profiles (pir_profiles.hpp):
  // counts, status, the pinned values, the supported profile's limits, the scheme.
  Status validate() const;

  bool operator==(const PirParams&) const = default;
};

// An unsigned decimal with an optional leading "+"; `fallback` when the key is absent.
Result<std::uint64_t> parse_pir_param_u64(const PirParamMap& pir_params, std::string_view key,
                                          std::uint64_t fallback);

template <>
struct JsonRecord<PirParams> {
  using P = PirParams;
  static constexpr std::string_view name = "PirParams";
  static constexpr std::tuple fields{
      field("scheme", &P::scheme),
      field("schema_version", &P::schema_version),
      field("record_count", &P::record_count),
      field("record_size_bytes", &P::record_size_bytes),
      field("security_status", &P::security_status),
      field("parameter_profile", &P::parameter_profile),
      field("matrix_width", &P::matrix_width),
      field("modulus", &P::modulus),
      field("plaintext_modulus", &P::plaintext_modulus),
      field("noise_distribution", &P::noise_distribution),
      field("matrix_prg", &P::matrix_prg),
      field("query_rng", &P::query_rng),
  };
};

}  // namespace quorvex
