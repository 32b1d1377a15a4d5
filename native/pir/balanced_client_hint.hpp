// The balanced client hint, "QVBLC001": the setup values as little-endian
// u64, then the hint H = D·A modulo 2^32 over the centred digits D (rows x
// columns, digit - 256) and the public matrix A (columns x secret_dimension),
// row by row as little-endian u32 values.
//
//   0 magic "QVBLC001"   8 record_count   16 record_size_bytes   24 digits_per_record
//  32 records_per_column   40 columns   48 rows   56 secret_dimension
//  64 public matrix key (32 bytes: the ChaCha20 key of A)
//  96 rows x secret_dimension u32 hint values
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/aligned_allocator.hpp"
#include "core/error.hpp"
#include "core/file_io.hpp"
#include "pir/balanced_layout.hpp"
#include "pir/pir_params.hpp"

namespace quorvex {

struct BalancedSetup {
  BalancedLayout layout;
  std::uint64_t secret_dimension = 0;
  std::array<std::uint8_t, 32> matrix_key{};

  // The layout is the one the record count and size give, the secret dimension the profile's.
  Status validate_against(const PirParams& params) const;
};

struct BalancedClientArtifact {
  BalancedSetup setup;
  AlignedVector<std::uint32_t> hint;  // row i (digit row i of the database) at i * secret_dimension

  // Parses a whole file; checks only the file's own consistency. Nothing is
  // allocated for more values than the file holds.
  static Result<BalancedClientArtifact> from_bytes(std::span<const std::uint8_t> bytes);
  // The same from a file open at its start, its values read straight into the
  // hint (no copy of the file is held), keeping at most `keep_at_most` bytes
  // (see ChecksumManifest::read_verified_whole): the outer error is the file's
  // (I/O), the inner what from_bytes would say of the file's bytes.
  static Result<Result<BalancedClientArtifact>> read_from(InputFile& file, std::uint64_t keep_at_most);
};

// "unsupported PIR parameter_profile for balanced backend: ..." unless the balanced profile.
Status require_balanced_profile(const PirParams& params);
// The hint holds rows x secret_dimension values.
Status validate_balanced_hint_shape(const BalancedClientArtifact& artifact);

}  // namespace quorvex
