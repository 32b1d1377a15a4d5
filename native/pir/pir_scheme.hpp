// The PIR schemes, by the names documents and files write: "simplepir-lwe-v0"
// (the toy and simplepir-rs profiles) and "simplepir-balanced-lwe-v1" (the
// balanced profile).
#pragma once

#include <optional>
#include <string_view>

#include "core/json_value.hpp"
#include "core/manifest.hpp"

namespace quorvex {

enum class PirScheme { SimplePirLweV0, SimplePirBalancedLweV1 };

constexpr std::string_view pir_scheme_name(PirScheme scheme) {
  switch (scheme) {
    case PirScheme::SimplePirLweV0: return kPirSchemeName;
    case PirScheme::SimplePirBalancedLweV1: return kBalancedSchemeName;
  }
  return kPirSchemeName;
}

constexpr std::optional<PirScheme> pir_scheme_named(std::string_view name) {
  if (name == kPirSchemeName) return PirScheme::SimplePirLweV0;
  if (name == kBalancedSchemeName) return PirScheme::SimplePirBalancedLweV1;
  return std::nullopt;
}

// A scheme name; any other string is an "unknown variant" JSON error.
JsonStatus decode_json(const JsonValue& value, PirScheme& out);

}  // namespace quorvex
