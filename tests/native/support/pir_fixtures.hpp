// Valid PIR files for tests to start from and then break: client hints of both
// formats, written field by field, and scheme descriptions.
#pragma once

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/json_decode.hpp"
#include "pir/balanced_client_hint.hpp"
#include "pir/pir_params.hpp"
#include "pir/pir_profiles.hpp"
#include "pir/simplepir_rs_client_hint.hpp"
#include "pir/toy_client_hint.hpp"
#include "support/manifests.hpp"

namespace quorvex::testing {

// Little-endian u64 fields appended one after another.
class ByteWriter {
 public:
  ByteWriter& magic(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  ByteWriter& u64(std::uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return *this;
  }
  // 1, 2, 3, ... count values.
  ByteWriter& u64s(std::uint64_t count) {
    for (std::uint64_t i = 1; i <= count; ++i) u64(i);
    return *this;
  }
  ByteWriter& u64s(std::span<const std::uint64_t> values) {
    for (const std::uint64_t value : values) u64(value);
    return *this;
  }
  // count little-endian u32 values 1, 2, 3, ...
  ByteWriter& u32s(std::uint64_t count) {
    for (std::uint64_t i = 1; i <= count; ++i) {
      for (int b = 0; b < 4; ++b) bytes_.push_back(static_cast<std::uint8_t>(i >> (8 * b)));
    }
    return *this;
  }
  ByteWriter& u32s(std::span<const std::uint32_t> values) {
    for (const std::uint32_t value : values) {
      for (int b = 0; b < 4; ++b) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * b)));
    }
    return *this;
  }
  ByteWriter& bytes(std::span<const std::uint8_t> values) {
    bytes_.insert(bytes_.end(), values.begin(), values.end());
    return *this;
  }
  ByteWriter& raw(std::size_t count) {
    bytes_.insert(bytes_.end(), count, 0);
    return *this;
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::string text() const { return std::string(bytes_.begin(), bytes_.end()); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// The setup of a toy client hint (width 16, modulus 2^32, plaintext modulus 256).
inline ByteWriter toy_setup(std::uint64_t record_count, std::uint64_t record_size, std::uint64_t delta = 16777216,
                            std::uint64_t matrix_seed = 7) {
  ByteWriter writer;
  writer.magic("QVSPC001").u64(record_count).u64(record_size).u64(16).u64(4294967296u).u64(256).u64(delta);
  return writer.u64(matrix_seed);
}

// A toy client hint whose values are 1, 2, 3, ...
inline ByteWriter toy_hint(std::uint64_t record_count, std::uint64_t record_size, std::uint64_t delta = 16777216,
                           std::uint64_t matrix_seed = 7) {
  return toy_setup(record_count, record_size, delta, matrix_seed).u64(record_size * 16).u64s(record_size * 16);
}

inline ByteWriter toy_hint_file(const SimplePirClientArtifact& artifact) {
  const SimplePirSetup& s = artifact.setup;
  return toy_setup(s.record_count, s.record_size_bytes, s.delta, s.matrix_seed).u64(artifact.hint.size()).u64s(artifact.hint);
}

// The setup of a simplepir-rs client hint (64 secret columns, plaintext modulus 2^17).
inline ByteWriter simplepir_rs_setup(std::uint64_t record_count, std::uint64_t record_size, std::uint64_t mod_power = 17,
                                     std::uint64_t setup_seed = 5, std::uint64_t server_hint = 9) {
  const std::uint64_t lanes = (record_size + 1) / 2;
  const std::uint64_t side = std::max({record_count, lanes, std::uint64_t{1}});
  ByteWriter writer;
  writer.magic("QVSRC001").u64(record_count).u64(record_size).u64(lanes).u64(side).u64(64).u64(mod_power);
  return writer.u64(131072).u64(setup_seed).u64(server_hint);
}

// A simplepir-rs client hint whose matrix holds 1, 2, 3, ...
inline ByteWriter simplepir_rs_hint(std::uint64_t record_count, std::uint64_t record_size) {
  const std::uint64_t side = std::max({record_count, (record_size + 1) / 2, std::uint64_t{1}});
  return simplepir_rs_setup(record_count, record_size).u64(side).u64(64).u64s(side * 64);
}

inline ByteWriter simplepir_rs_hint_file(const SimplePirRsClientArtifact& artifact) {
  const SimplePirRsSetup& s = artifact.setup;
  return simplepir_rs_setup(s.record_count, s.record_size_bytes, s.mod_power, s.setup_seed, s.server_hint)
      .u64(artifact.hint.nrows())
      .u64(artifact.hint.ncols())
      .u64s(artifact.hint.values());
}

// The setup of a balanced client hint: the layout's six counts, the secret dimension, a key of 1, 2, 3, 4.
inline ByteWriter balanced_setup(std::uint64_t record_count, std::uint64_t record_size, std::uint64_t digits,
                                 std::uint64_t per_column, std::uint64_t columns, std::uint64_t rows,
                                 std::uint64_t secret_dimension = 1408) {
  ByteWriter writer;
  writer.magic("QVBLC001").u64(record_count).u64(record_size).u64(digits).u64(per_column).u64(columns).u64(rows);
  return writer.u64(secret_dimension).u64s(4);
}

// The client hint file of a balanced artifact.
inline ByteWriter balanced_hint_file(const BalancedClientArtifact& artifact) {
  const BalancedLayout& layout = artifact.setup.layout;
  ByteWriter writer;
  writer.magic("QVBLC001").u64(layout.record_count).u64(layout.record_size_bytes).u64(layout.digits_per_record);
  writer.u64(layout.records_per_column).u64(layout.columns).u64(layout.rows).u64(artifact.setup.secret_dimension);
  return writer.bytes(artifact.setup.matrix_key).u32s(artifact.hint);
}

// "pir/scheme.json" agreeing with a manifest of `profile` with the given store shape.
inline nlohmann::ordered_json scheme_json(std::string_view profile, std::uint64_t record_count,
                                          std::uint64_t record_size) {
  const PirProfile& row = *find_pir_profile(profile);
  const std::string_view scheme = pir_scheme_name(row.scheme);
  nlohmann::ordered_json params = manifest_pir_params(profile);
  params["schema_version"] = 1;
  params["matrix_width"] = row.values.matrix_width;
  params["modulus"] = row.values.modulus;
  params["plaintext_modulus"] = row.values.plaintext_modulus;
  params["scheme"] = scheme;
  params["record_count"] = record_count;
  params["record_size_bytes"] = record_size;
  const auto [backend, status, experimental, note] =
      row.backend == PirBackendKind::Toy          ? std::tuple("toy-simplepir-lwe-v0", "toy-development-only", true,
                                                               "experimental and unaudited")
      : row.backend == PirBackendKind::Balanced   ? std::tuple("quorvex-balanced-v1", "quorvex-native-unaudited", false,
                                                               "an estimate; unaudited")
      : profile == "simplepir-rs-v0-1000-1k"      ? std::tuple("simplepir-rs-v1.0.1", "external-crate-experimental", false,
                                                               "unaudited; not externally audited")
                                                  : std::tuple("simplepir-rs-v1.0.1", "external-crate-experimental", true,
                                                               "experimental and unaudited");
  return {
      {"scheme", scheme},
      {"params", params},
      {"backend",
       {{"scheme", scheme}, {"backend_name", backend}, {"security_status", params["security_status"]},
        {"parameter_profile", profile}, {"implementation_status", status}}},
      {"artifacts",
       {{"scheme", "pir/scheme.json"}, {"client_hint", "pir/client_hint.bin"}, {"server_hint", "pir/server_hint.bin"}}},
      {"experimental", experimental},
      {"security_note", note},
  };
}

inline PirParams params_for(std::string_view profile, std::uint64_t record_count, std::uint64_t record_size) {
  return read_json<PirParams>(scheme_json(profile, record_count, record_size)["params"].dump()).value();
}

}  // namespace quorvex::testing
