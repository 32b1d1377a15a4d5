// The checks every backend's client hint setup makes against the parameters,
// with one wording for all: the backend accepts the profile, and each setup
// value matches the one it must have.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/error.hpp"
#include "core/text.hpp"
#include "pir/pir_params.hpp"

namespace quorvex {

// "unsupported PIR parameter_profile for {backend} backend: {profile}" unless accepted.
inline Status require_backend_profile(const PirParams& params, bool accepted, std::string_view backend) {
  if (accepted) return {};
  return format_error(concat("unsupported PIR parameter_profile for ", backend, " backend: ", params.parameter_profile));
}

// "{scheme} setup {field} {value} does not match {against} {expected}" unless equal.
inline Status require_setup_match(std::string_view scheme, std::string_view field, std::uint64_t value,
                                  std::string_view against, std::uint64_t expected) {
  if (value == expected) return {};
  return format_error(concat(scheme, " setup ", field, " ", value, " does not match ", against, " ", expected));
}

}  // namespace quorvex
