// Valid manifest documents for tests to start from and then break.
#pragma once

#include <nlohmann/json.hpp>

namespace quorvex::testing {

// A manifest of the supported profile that passes every rule.
inline nlohmann::ordered_json supported_manifest_json() {
  return {
      {"quorvex_version", "0.1.0"},
      {"bundle_id", "demo-bundle"},
      {"bundle_version", "2026-12-01"},
      {"embedding_model", "hashing-384-v1"},
      {"embedding_dimensions", 384},
      {"chunk_count", 1000},
      {"record_size_bytes", 1024},
      {"index_format", "quorvex-index-v0"},
      {"pir_store_format", "quorvex-pir-v0"},
      {"pir_scheme", "simplepir-lwe-v0"},
      {"pir_params",
       {{"schema_version", "1"},
        {"parameter_profile", "simplepir-rs-v0-1000-1k"},
        {"security_status", "supported-v0-unaudited"}}},
      {"pir_record_count", 1000},
      {"pir_record_size_bytes", 1024},
      {"pir_artifacts",
       {{"scheme", "pir/scheme.json"},
        {"client_hint", "pir/client_hint.bin"},
        {"server_hint", "pir/server_hint.bin"}}},
      {"created_at", "2026-12-01T00:00:00Z"},
  };
}

// The same collection under the toy development profile.
inline nlohmann::ordered_json toy_manifest_json() {
  nlohmann::ordered_json manifest = supported_manifest_json();
  manifest["pir_params"]["parameter_profile"] = "toy-development-only-v0";
  manifest["pir_params"]["security_status"] = "experimental-unaudited";
  return manifest;
}

}  // namespace quorvex::testing
