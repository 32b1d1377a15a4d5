// The simplepir-rs client hint, "QVSRC001": the setup values followed by the
// hint matrix (square_side_len rows of secret_dimension values), every number
// a little-endian u64.
//
//   0 magic "QVSRC001"   8 record_count   16 record_size_bytes   24 lane_count
//  32 square_side_len   40 secret_dimension   48 mod_power (< 256)
//  56 plaintext_modulus   64 setup_seed   72 server_hint (public matrix seed)
//  80 hint rows   88 hint columns   96 hint values, row by row
#pragma once

#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "pir/pir_params.hpp"
#include "simplepir/matrix.hpp"

namespace quorvex {

struct SimplePirRsSetup {
  std::uint64_t record_count = 0;
  std::uint64_t record_size_bytes = 0;
  std::uint64_t lane_count = 0;
  std::uint64_t square_side_len = 0;
  std::uint64_t secret_dimension = 0;
  std::uint8_t mod_power = 0;
  std::uint64_t plaintext_modulus = 0;
  std::uint64_t setup_seed = 0;
  std::uint64_t server_hint = 0;

  Status validate_against(const PirParams& params) const;
};

struct SimplePirRsClientArtifact {
  SimplePirRsSetup setup;
  Matrix hint;  // row i belongs to lane i

  static Result<SimplePirRsClientArtifact> from_bytes(std::span<const std::uint8_t> bytes);
};

// ceil(record_size_bytes / 2): the number of 2-byte lanes of a record.
Result<std::uint64_t> simplepir_rs_lane_count(std::uint64_t record_size_bytes);
// "unsupported PIR parameter_profile for simplepir-rs backend: ..." unless a simplepir-rs profile.
Status require_simplepir_rs_profile(const PirParams& params);
// The hint matrix has square_side_len rows and secret_dimension columns.
Status validate_simplepir_rs_hint_shape(const SimplePirRsClientArtifact& artifact);

}  // namespace quorvex
