// Valid manifest documents for tests to start from and then break.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "pir/pir_profiles.hpp"

namespace quorvex::testing {

// The pir_params text map of a manifest of `profile`, with the values its row of the profile table pins.
inline nlohmann::ordered_json manifest_pir_params(std::string_view profile) {
  const PirProfileValues& values = find_pir_profile(profile)->values;
  return {
      {"schema_version", "1"},
      {"parameter_profile", profile},
      {"security_status", find_pir_profile(profile)->security_status},
      {"matrix_width", std::to_string(values.matrix_width)},
      {"modulus", std::to_string(values.modulus)},
      {"plaintext_modulus", std::to_string(values.plaintext_modulus)},
      {"noise_distribution", values.noise_distribution},
      {"matrix_prg", values.matrix_prg},
      {"query_rng", values.query_rng},
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
      {"pir_scheme", pir_scheme_name(find_pir_profile(profile)->scheme)},
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
