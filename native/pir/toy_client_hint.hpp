// The toy SimplePIR client hint, "QVSPC001": the setup values followed by a
// record_size_bytes x matrix_width hint, every number a little-endian u64.
//
//   0 magic "QVSPC001"   8 record_count   16 record_size_bytes   24 matrix_width
//  32 modulus           40 plaintext_modulus   48 delta   56 matrix_seed
//  64 hint length (= record_size_bytes x matrix_width)   72 hint values, row by row
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "pir/pir_params.hpp"

namespace quorvex {

struct SimplePirSetup {
  std::uint64_t record_count = 0;
  std::uint64_t record_size_bytes = 0;
  std::uint64_t matrix_width = 0;
  std::uint64_t modulus = 0;
  std::uint64_t plaintext_modulus = 0;
  std::uint64_t delta = 0;
  std::uint64_t matrix_seed = 0;

  // Agreement with the (validated) toy parameters and the toy profile's numbers.
  Status validate_against(const PirParams& params) const;
};

struct SimplePirClientArtifact {
  SimplePirSetup setup;
  std::vector<std::uint64_t> hint;  // row r (record byte r) at r * matrix_width

  // Parses a whole file; checks only the file's own consistency.
  static Result<SimplePirClientArtifact> from_bytes(std::span<const std::uint8_t> bytes);
};

// "unsupported PIR parameter_profile for toy backend: ..." unless the toy profile.
Status require_toy_profile(const PirParams& params);
// record_size_bytes x matrix_width, with its overflow message.
Result<std::uint64_t> toy_hint_length(const SimplePirSetup& setup);
// The hint holds exactly toy_hint_length values.
Status validate_toy_hint_length(const SimplePirClientArtifact& artifact);

}  // namespace quorvex
