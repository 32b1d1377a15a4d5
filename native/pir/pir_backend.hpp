// The query backend chosen by the parameter profile, and the client hint it loads.
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "core/error.hpp"
#include "pir/pir_params.hpp"
#include "pir/simplepir_rs_backend.hpp"
#include "pir/toy_backend.hpp"

namespace quorvex {

// The loaded client hint of the selected backend.
using PirClientArtifact = std::variant<SimplePirClientArtifact, SimplePirRsClientArtifact>;

class SelectedPirBackend {
 public:
  explicit SelectedPirBackend(ToySimplePirBackend backend) : backend_(backend) {}
  explicit SelectedPirBackend(SimplePirRsBackend backend) : backend_(backend) {}

  // Loads the client hint with the chosen backend and wraps it as its artifact kind.
  Result<PirClientArtifact> load_client_artifact(const PirParams& params, std::span<const std::uint8_t> bytes) const;

  const std::variant<ToySimplePirBackend, SimplePirRsBackend>& backend() const { return backend_; }

 private:
  std::variant<ToySimplePirBackend, SimplePirRsBackend> backend_;
};

// Toy for "toy-development-only-v0", simplepir-rs for the two simplepir-rs profiles.
Result<SelectedPirBackend> select_pir_backend(const PirParams& params);

}  // namespace quorvex
