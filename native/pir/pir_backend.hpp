// The query backend chosen by the parameter profile, and the client hint it loads.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "core/error.hpp"
#include "pir/balanced_backend.hpp"
#include "pir/pir_params.hpp"
#include "pir/simplepir_rs_backend.hpp"
#include "pir/toy_backend.hpp"

namespace quorvex {

// The loaded client hint of the selected backend.
using PirClientArtifact = std::variant<SimplePirClientArtifact, SimplePirRsClientArtifact, BalancedClientArtifact>;

// "pir/client_hint.bin" as read: its bytes, or a balanced hint parsed while
// its file was read (BalancedClientArtifact::read_from), whose format error
// waits for its turn.
using ClientHintContents = std::variant<std::string, Result<BalancedClientArtifact>>;

class SelectedPirBackend {
 public:
  using Backend = std::variant<ToySimplePirBackend, SimplePirRsBackend, BalancedBackend>;

  explicit SelectedPirBackend(Backend backend) : backend_(backend) {}

  // Loads the client hint with the chosen backend and wraps it as its artifact kind.
  Result<PirClientArtifact> load_client_artifact(const PirParams& params, ClientHintContents contents) const;

  const Backend& backend() const { return backend_; }

 private:
  Backend backend_;
};

// The backend of the parameters' profile (pir_profiles.hpp): toy, simplepir-rs or balanced.
Result<SelectedPirBackend> select_pir_backend(const PirParams& params);

}  // namespace quorvex
