// SimplePirRsBackend: the backend of the two simplepir-rs profiles. The
// database is a square of 16-bit lanes (one column per record); a query is
// c = A·s + e + delta·u(record) with wrapping 64-bit arithmetic and the
// ChaCha20 public matrix A (square_side_len x secret_dimension).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "pir/backend_operations.hpp"
#include "pir/os_random.hpp"
#include "pir/pir_params.hpp"
#include "pir/pir_query.hpp"
#include "pir/simplepir_rs_client_hint.hpp"

namespace quorvex {

class SimplePirRsBackend
    : public BackendOperations<SimplePirRsBackend, SimplePirRsClientArtifact, require_simplepir_rs_profile> {
 public:
  // The backend for a simplepir-rs profile whose parameters validate.
  static Result<SimplePirRsBackend> for_params(const PirParams& params);

  // Parameters, profile, setup and hint shape: run first by every operation.
  static Status check_common(const PirParams& params, const Artifact& artifact);

  // Fresh query seed, full 64-bit secret and error vector, in that order.
  static Result<QueryMaterial> draw_material(const Artifact& artifact, std::uint64_t record_id,
                                             EntropySource source = os_entropy);

  // Several queries sharing one pass over the public matrix, generated in row
  // blocks; equal to generating them one by one.
  static Result<std::vector<GeneratedQuery>> generate_queries_from_material(const PirParams& params,
                                                                            const Artifact& artifact,
                                                                            std::vector<QueryMaterial> materials);

  // The padded record (record_size_bytes bytes) answered for the context's query.
  static Result<RecordBytes> decode_response_record(const PirParams& params, const Artifact& artifact,
                                                    const PirQueryContext& context, const PirResponse& response);

  std::string_view profile() const { return profile_; }
  std::string_view security_status() const { return security_status_; }

 private:
  SimplePirRsBackend(std::string_view profile, std::string_view security_status)
      : profile_(profile), security_status_(security_status) {}
  std::string_view profile_;          // a static profile name
  std::string_view security_status_;  // that profile's static status
};

// The query vectors of several queries, one pass over the public matrix
// (row blocks of the ChaCha20 matrix seeded with server_hint). Never fails on
// checked material.
std::vector<std::vector<std::uint64_t>> simplepir_rs_query_vectors(const SimplePirRsSetup& setup,
                                                                   std::span<const QueryMaterial> materials);

// floor(2^64 / p) truncated to 64 bits.
std::uint64_t simplepir_rs_delta(std::uint64_t plaintext_modulus);

}  // namespace quorvex
