// BalancedBackend: the backend of the balanced profile. Records are 9-bit
// digits stacked k to a column (balanced_layout.hpp); a query is
// c = A·s + e + delta·u(column of the record) modulo 2^32, with A the
// ChaCha20 word matrix (columns x 1408), s uniform modulo 2^32 and e from the
// centred binomial distribution of variance 41. The server answers U·c over
// the stored digits U (0 .. 511); the client removes 256·sum(c) and the hint
// row H_i·s, and rounds: for every row of the answer when it checks a
// retrieval (the whole column), for its record's rows when it does not.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "pir/backend_operations.hpp"
#include "pir/balanced_client_hint.hpp"
#include "pir/os_random.hpp"
#include "pir/pir_params.hpp"
#include "pir/pir_query.hpp"

namespace quorvex {

class BalancedBackend : public BackendOperations<BalancedBackend, BalancedClientArtifact, require_balanced_profile> {
 public:
  // Parameters, profile, setup and hint shape: run first by every operation.
  static Status check_common(const PirParams& params, const Artifact& artifact);

  // A fresh query seed, then a secret (1408 values below 2^32) and an error
  // vector from one keyed stream (KeyedStream) whose key is fresh.
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

  // Every record of the column each query asked for, decoded from every row
  // of its answer; the hint is read once for the whole batch (H times the
  // batch's secrets). The caller pairs contexts and responses.
  static Result<DecodedColumns> decode_response_columns(const PirParams& params, const Artifact& artifact,
                                                        std::span<const PirQueryContext> contexts,
                                                        std::span<const PirResponse> responses);
};

// The query vectors of several queries (32-bit words, one per column), one
// pass over the public matrix. Never fails on checked material.
std::vector<std::vector<std::uint32_t>> balanced_query_vectors(const BalancedSetup& setup,
                                                               std::span<const QueryMaterial> materials);

}  // namespace quorvex
