#include "pir/pir_client.hpp"

#include "core/file_io.hpp"
#include "core/json_file.hpp"
#include "pir/scheme_metadata.hpp"

namespace quorvex {

Result<PirClient> PirClient::from_public_manifest_and_cache(const BundleManifest& manifest,
                                                            const std::filesystem::path& root) {
  PirParams params = QV_TRY(PirParams::from_manifest(manifest));
  QV_TRY(params.validate());
  const PirArtifacts artifacts = QV_TRY(PirArtifacts::from_manifest(manifest));
  const PirSchemeMetadata metadata = QV_TRY(read_json_file<PirSchemeMetadata>(root / artifacts.scheme));
  QV_TRY(metadata.validate());
  if (metadata.params != params || metadata.artifacts != artifacts) {
    return format_error("PIR scheme artifact does not match manifest PIR metadata");
  }
  const std::string contents = QV_TRY(read_file(root / artifacts.client_hint));
  std::vector<std::uint8_t> hint_bytes(contents.begin(), contents.end());
  SelectedPirBackend backend = QV_TRY(select_pir_backend(params));
  PirClientArtifact artifact = QV_TRY(backend.load_client_artifact(params, hint_bytes));
  return PirClient(std::move(params), std::move(hint_bytes), std::move(artifact), std::move(backend));
}

}  // namespace quorvex
