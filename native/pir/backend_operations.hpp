// The operations every query backend builds the same way from its own
// primitives (check_common, draw_material, generate_queries_from_material,
// decode_response_record, the artifact's from_bytes and the profile check).
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "pir/decoded_columns.hpp"
#include "pir/os_random.hpp"
#include "pir/pir_params.hpp"
#include "pir/pir_query.hpp"

namespace quorvex {

template <class Backend, class ArtifactType, Status (*require_profile)(const PirParams&)>
class BackendOperations {
 public:
  using Artifact = ArtifactType;

  // Parses "pir/client_hint.bin" in the backend's format and checks it against the parameters.
  static Result<Artifact> load_client_artifact(const PirParams& params, std::span<const std::uint8_t> bytes) {
    return load_parsed(params, [&] { return Artifact::from_bytes(bytes); });
  }
  // The same for a hint parsed as its file was read: its format error, if
  // any, is reported where parsing the bytes would report it.
  static Result<Artifact> load_client_artifact(const PirParams& params, Result<Artifact> parsed) {
    return load_parsed(params, [&] { return std::move(parsed); });
  }

  // One query with fresh randomness, drawn after the common checks.
  static Result<GeneratedQuery> generate_query(const PirParams& params, const Artifact& artifact,
                                               std::uint64_t record_id, EntropySource source = os_entropy) {
    QV_TRY(Backend::check_common(params, artifact));
    return generate_one(params, artifact, QV_TRY(Backend::draw_material(artifact, record_id, source)));
  }

  // The records the answers cover, for a store that holds one record per
  // column: the record each query asked for. A backend whose columns hold
  // several records defines its own. The caller pairs contexts and responses.
  static Result<DecodedColumns> decode_response_columns(const PirParams& params, const Artifact& artifact,
                                                        std::span<const PirQueryContext> contexts,
                                                        std::span<const PirResponse> responses) {
    DecodedColumns columns{.records_per_column = 1, .record_size_bytes = params.record_size_bytes, .bytes = {}};
    columns.bytes.reserve(contexts.size() * params.record_size_bytes);
    for (std::size_t i = 0; i < contexts.size(); ++i) {
      const RecordBytes record = QV_TRY(Backend::decode_response_record(params, artifact, contexts[i], responses[i]));
      columns.bytes.insert(columns.bytes.end(), record.begin(), record.end());
    }
    return columns;
  }

  static Result<GeneratedQuery> generate_query_from_material(const PirParams& params, const Artifact& artifact,
                                                             std::uint64_t record_id, std::uint64_t query_seed,
                                                             SecretVector<std::uint64_t> secret,
                                                             SecretVector<std::int64_t> error) {
    return generate_one(params, artifact, QueryMaterial{record_id, query_seed, std::move(secret), std::move(error)});
  }

 private:
  template <class Parse>
  static Result<Artifact> load_parsed(const PirParams& params, Parse&& parse) {
    QV_TRY(params.validate());
    QV_TRY(require_profile(params));
    Artifact artifact = QV_TRY(parse());
    QV_TRY(Backend::check_common(params, artifact));
    return artifact;
  }

  static Result<GeneratedQuery> generate_one(const PirParams& params, const Artifact& artifact,
                                             QueryMaterial material) {
    std::vector<QueryMaterial> batch;
    batch.push_back(std::move(material));
    return std::move(QV_TRY(Backend::generate_queries_from_material(params, artifact, std::move(batch))).front());
  }
};

}  // namespace quorvex
