// ToySimplePirBackend: the development backend ("toy-development-only-v0").
#pragma once

#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "pir/pir_params.hpp"
#include "pir/toy_client_hint.hpp"

namespace quorvex {

class ToySimplePirBackend {
 public:
  // Parses "pir/client_hint.bin" in the toy format and checks it against the parameters.
  static Result<SimplePirClientArtifact> load_client_artifact(const PirParams& params,
                                                              std::span<const std::uint8_t> bytes);
};

}  // namespace quorvex
