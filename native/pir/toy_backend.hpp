// ToySimplePirBackend: the development backend ("toy-development-only-v0").
// A query is c = A·s + e + delta·u(record) mod q with the toy public matrix A
// (record_count x matrix_width, computed on demand); the server answers D·c
// mod q and the client removes the hint H·s and rounds.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "pir/backend_operations.hpp"
#include "pir/os_random.hpp"
#include "pir/pir_params.hpp"
#include "pir/pir_query.hpp"
#include "pir/toy_client_hint.hpp"

namespace quorvex {

class ToySimplePirBackend
    : public BackendOperations<ToySimplePirBackend, SimplePirClientArtifact, require_toy_profile> {
 public:
  // Parameters, profile, setup and hint length: run first by every operation.
  static Status check_common(const PirParams& params, const Artifact& artifact);

  // Fresh query seed, secret (reduced modulo the setup's modulus) and error
  // vector, in that order.
  static Result<QueryMaterial> draw_material(const Artifact& artifact, std::uint64_t record_id,
                                             EntropySource source = os_entropy);

  // Several queries computed in one pass over the public matrix (each entry
  // computed once for the whole batch); equal to generating them one by one.
  static Result<std::vector<GeneratedQuery>> generate_queries_from_material(const PirParams& params,
                                                                            const Artifact& artifact,
                                                                            std::vector<QueryMaterial> materials);

  // The padded record (record_size_bytes bytes) answered for the context's query.
  static Result<RecordBytes> decode_response_record(const PirParams& params, const Artifact& artifact,
                                                    const PirQueryContext& context, const PirResponse& response);
};

}  // namespace quorvex
