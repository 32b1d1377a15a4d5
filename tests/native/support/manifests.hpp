// Valid manifest documents for tests to start from and then break.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>

namespace quorvex::testing {

// The pir_params text map of a manifest for one of the three profiles.
inline nlohmann::ordered_json manifest_pir_params(std::string_view profile) {
  const bool toy = profile == "toy-development-only-v0";
  return {
      {"schema_version", "1"},
      {"parameter_profile", profile},
      {"security_status", profile == "simplepir-rs-v0-1000-1k" ? "supported-v0-unaudited" : "experimental-unaudited"},
      {"matrix_width", toy ? "16" : "64"},
      {"modulus", toy ? "4294967296" : "18446744073709551615"},
      {"plaintext_modulus", toy ? "256" : "131072"},
      {"noise_distribution", toy ? "uniform_i64_-1_0_1" : "simplepir-rs-adapter-uniform_i64_-1_0_1"},
      {"matrix_prg", toy ? "splitmix64-public-matrix-dev" : "simplepir-rs-chacha20-server-hint-v1"},
      {"query_rng", "os-random-query-material"},
  };
}

// A valid manifest of `profile` for `record_count` records of `record_size` bytes.
inline nlohmann::ordered_json manifest_json(std::string_view profile, std::uint64_t record_count,
                                            std::uint64_t record_size, std::uint64_t dimensions) {
  return {
      {"quorvex_version", "0.1.0"},
      {"bundle_id", "demo-bundle"},
      {"bundle_version", "2026-12-01"},
      {"embedding_model", "hashing-384-v1"},
      {"embedding_dimensions", dimensions},
      {"chunk_count", record_count},
      {"record_size_bytes", record_size},
      {"index_format", "quorvex-index-v0"},
      {"pir_store_format", "quorvex-pir-v0"},
      {"pir_scheme", "simplepir-lwe-v0"},
      {"pir_params", manifest_pir_params(profile)},
      {"pir_record_count", record_count},
      {"pir_record_size_bytes", record_size},
      {"pir_artifacts",
       {{"scheme", "pir/scheme.json"}, {"client_hint", "pir/client_hint.bin"}, {"server_hint", "pir/server_hint.bin"}}},
      {"created_at", "2026-12-01T00:00:00Z"},
  };
}

// A manifest of the supported profile that passes every rule.
inline nlohmann::ordered_json supported_manifest_json() {
  return manifest_json("simplepir-rs-v0-1000-1k", 1000, 1024, 384);
}

// The same collection under the toy development profile.
inline nlohmann::ordered_json toy_manifest_json() {
  return manifest_json("toy-development-only-v0", 1000, 1024, 384);
}

}  // namespace quorvex::testing
