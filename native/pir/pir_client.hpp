// PirClient: the loaded, fully checked PIR side of an opened public cache.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/manifest.hpp"
#include "core/chunk.hpp"
#include "pir/batched_documents.hpp"
#include "pir/decoded_columns.hpp"
#include "pir/os_random.hpp"
#include "pir/pir_backend.hpp"
#include "pir/pir_params.hpp"
#include "pir/pir_query.hpp"

namespace quorvex {

class PirClient {
 public:
  // Ties the manifest's parameters, "pir/scheme.json" and "pir/client_hint.bin"
  // together; a client exists only when all three agree.
  static Result<PirClient> from_public_manifest_and_cache(const BundleManifest& manifest,
                                                          const std::filesystem::path& root);
  // The same checks over the contents of the two files, already read (and
  // verified). A failed read of the scheme is reported where the scheme is read.
  static Result<PirClient> from_public_manifest_and_files(const BundleManifest& manifest,
                                                          const std::filesystem::path& root,
                                                          const Result<std::string>& scheme_contents,
                                                          ClientHintContents client_hint);

  // One query for one record, with fresh randomness.
  Result<GeneratedQuery> generate_query(std::uint64_t record_id, EntropySource source = os_entropy) const;
  // The padded record answered for the context's query.
  Result<RecordBytes> decode_response_record(const PirQueryContext& context, const PirResponse& response) const;
  // One query per record id (duplicates allowed), computed in one pass over
  // the public matrix, with their contexts at the same positions.
  Result<PreparedBatchedPirQuery> generate_batched_query(std::span<const std::uint64_t> record_ids,
                                                         EntropySource source = os_entropy) const;
  // The padded record of every response, in query order (padding included).
  Result<std::vector<RecordBytes>> decode_batched_response_records(std::span<const PirQueryContext> contexts,
                                                                   const BatchedPirResponse& response) const;
  // Every record the responses cover: for each query, every record of the
  // column it asked for, decoded from every element of its answer.
  Result<DecodedColumns> decode_batched_response_columns(std::span<const PirQueryContext> contexts,
                                                         const BatchedPirResponse& response) const;
  // The chunk record of every response, in query order (padding included).
  Result<std::vector<ChunkRecord>> decode_batched_response_chunks(std::span<const PirQueryContext> contexts,
                                                                  const BatchedPirResponse& response) const;

  const PirParams& params() const { return params_; }
  const PirClientArtifact& artifact() const { return artifact_; }
  const SelectedPirBackend& backend() const { return backend_; }

 private:
  // Only the parsed hint is kept: the raw file would double the client's largest table.
  PirClient(PirParams params, PirClientArtifact artifact, SelectedPirBackend backend)
      : params_(std::move(params)),
        artifact_(std::move(artifact)),
        backend_(std::move(backend)) {}

  // The read functions give a file's contents (from its path) when the checks reach it.
  template <class ReadScheme, class ReadHint>
  static Result<PirClient> from_manifest_reading(const BundleManifest& manifest, const std::filesystem::path& root,
                                                 ReadScheme&& read_scheme, ReadHint&& read_hint);

  // The response's own checks, its scheme, and one response per context.
  Status check_batched_response(std::span<const PirQueryContext> contexts, const BatchedPirResponse& response) const;

  // Calls `operation(backend, artifact)` for the backend and its artifact kind.
  template <class Operation>
  auto dispatch(Operation&& operation) const -> decltype(operation(ToySimplePirBackend{}, SimplePirClientArtifact{}));

  PirParams params_;
  PirClientArtifact artifact_;
  SelectedPirBackend backend_;
};

}  // namespace quorvex
