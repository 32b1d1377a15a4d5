// PirClient: the loaded, fully checked PIR side of an opened public cache.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "core/error.hpp"
#include "core/manifest.hpp"
#include "pir/pir_backend.hpp"
#include "pir/pir_params.hpp"

namespace quorvex {

class PirClient {
 public:
  // Ties the manifest's parameters, "pir/scheme.json" and "pir/client_hint.bin"
  // together; a client exists only when all three agree.
  static Result<PirClient> from_public_manifest_and_cache(const BundleManifest& manifest,
                                                          const std::filesystem::path& root);

  const PirParams& params() const { return params_; }
  const std::vector<std::uint8_t>& client_hint_bytes() const { return client_hint_bytes_; }
  const PirClientArtifact& artifact() const { return artifact_; }
  const SelectedPirBackend& backend() const { return backend_; }

 private:
  PirClient(PirParams params, std::vector<std::uint8_t> client_hint_bytes, PirClientArtifact artifact,
            SelectedPirBackend backend)
      : params_(std::move(params)),
        client_hint_bytes_(std::move(client_hint_bytes)),
        artifact_(std::move(artifact)),
        backend_(std::move(backend)) {}

  PirParams params_;
  std::vector<std::uint8_t> client_hint_bytes_;
  PirClientArtifact artifact_;
  SelectedPirBackend backend_;
};

}  // namespace quorvex
