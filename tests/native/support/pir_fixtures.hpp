// Valid PIR files for tests: client hints of both formats and scheme descriptions.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

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
  ByteWriter& u64s(std::uint64_t count, std::uint64_t first = 1) {
    for (std::uint64_t i = 0; i < count; ++i) u64(first + i);
    return *this;
  }
  ByteWriter& raw(std::size_t count, std::uint8_t value = 0) {
    bytes_.insert(bytes_.end(), count, value);
    return *this;
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::string text() const { return std::string(bytes_.begin(), bytes_.end()); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// A toy client hint whose setup matches `record_count` records of `record_size` bytes.
inline ByteWriter toy_hint(std::uint64_t record_count, std::uint64_t record_size, std::uint64_t delta = 16777216,
                           std::uint64_t matrix_seed = 7) {
  ByteWriter writer;
  writer.magic("QVSPC001").u64(record_count).u64(record_size).u64(16).u64(4294967296u).u64(256).u64(delta);
  writer.u64(matrix_seed).u64(record_size * 16).u64s(record_size * 16);
  return writer;
}

// The setup of a simplepir-rs client hint, without the matrix.
inline ByteWriter simplepir_rs_setup(std::uint64_t record_count, std::uint64_t record_size, std::uint64_t mod_power = 17,
                                     std::uint64_t setup_seed = 5, std::uint64_t server_hint = 9) {
  const std::uint64_t lanes = (record_size + 1) / 2;
  const std::uint64_t side = std::max({record_count, lanes, std::uint64_t{1}});
  ByteWriter writer;
  writer.magic("QVSRC001").u64(record_count).u64(record_size).u64(lanes).u64(side).u64(64).u64(mod_power);
  writer.u64(131072).u64(setup_seed).u64(server_hint);
  return writer;
}

// A complete simplepir-rs client hint for `record_count` records of `record_size` bytes.
inline ByteWriter simplepir_rs_hint(std::uint64_t record_count, std::uint64_t record_size) {
  const std::uint64_t side = std::max({record_count, (record_size + 1) / 2, std::uint64_t{1}});
  ByteWriter writer = simplepir_rs_setup(record_count, record_size);
  writer.u64(side).u64(64).u64s(side * 64);
  return writer;
}

// "pir/scheme.json" agreeing with a manifest of `profile` with the given store shape.
inline nlohmann::ordered_json scheme_json(std::string_view profile, std::uint64_t record_count,
                                          std::uint64_t record_size) {
  const bool toy = profile == "toy-development-only-v0";
  const bool supported = profile == "simplepir-rs-v0-1000-1k";
  nlohmann::ordered_json params = manifest_pir_params(profile);
  params["schema_version"] = 1;
  params["matrix_width"] = toy ? 16 : 64;
  params["modulus"] = toy ? 4294967296u : 18446744073709551615u;
  params["plaintext_modulus"] = toy ? 256 : 131072;
  params["scheme"] = "simplepir-lwe-v0";
  params["record_count"] = record_count;
  params["record_size_bytes"] = record_size;
  return {
      {"scheme", "simplepir-lwe-v0"},
      {"params", params},
      {"backend",
       {{"scheme", "simplepir-lwe-v0"},
        {"backend_name", toy ? "toy-simplepir-lwe-v0" : "simplepir-rs-v1.0.1"},
        {"security_status", params["security_status"]},
        {"parameter_profile", profile},
        {"implementation_status", toy ? "toy-development-only" : "external-crate-experimental"}}},
      {"artifacts",
       {{"scheme", "pir/scheme.json"},
        {"client_hint", "pir/client_hint.bin"},
        {"server_hint", "pir/server_hint.bin"}}},
      {"experimental", !supported},
      {"security_note", supported ? "unaudited; not externally audited" : "experimental and unaudited"},
  };
}

}  // namespace quorvex::testing
