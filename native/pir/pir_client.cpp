#include "pir/pir_client.hpp"

#include "core/file_io.hpp"
#include "core/json_file.hpp"
#include "core/profile_names.hpp"
#include "core/text.hpp"
#include "pir/padded_chunk_record.hpp"
#include "pir/scheme_metadata.hpp"

namespace quorvex {

Result<PirClient> PirClient::from_public_manifest_and_cache(const BundleManifest& manifest,
                                                            const std::filesystem::path& root) {
  return from_manifest_reading(
      manifest, root, [](const std::filesystem::path& path) { return read_json_text(path); },
      [](const std::filesystem::path& path) -> Result<ClientHintContents> {
        return ClientHintContents(std::in_place_type<std::string>, QV_TRY(read_file(path)));
      });
}

Result<PirClient> PirClient::from_public_manifest_and_files(const BundleManifest& manifest,
                                                            const std::filesystem::path& root,
                                                            const Result<std::string>& scheme_contents,
                                                            ClientHintContents client_hint) {
  return from_manifest_reading(
      manifest, root,
      [&](const std::filesystem::path&) -> Result<std::string_view> {
        if (!scheme_contents) return std::unexpected(scheme_contents.error());
        return std::string_view(*scheme_contents);
      },
      [&](const std::filesystem::path&) -> Result<ClientHintContents> { return std::move(client_hint); });
}

template <class ReadScheme, class ReadHint>
Result<PirClient> PirClient::from_manifest_reading(const BundleManifest& manifest, const std::filesystem::path& root,
                                                   ReadScheme&& read_scheme, ReadHint&& read_hint) {
  PirParams params = QV_TRY(PirParams::from_manifest(manifest));
  QV_TRY(params.validate());
  const PirArtifacts artifacts = QV_TRY(PirArtifacts::from_manifest(manifest));
  const std::filesystem::path scheme_path = root / artifacts.scheme;
  const auto scheme_contents = QV_TRY(read_scheme(scheme_path));
  const PirSchemeMetadata metadata = QV_TRY(parse_json_file<PirSchemeMetadata>(scheme_path, scheme_contents));
  QV_TRY(metadata.validate());
  if (metadata.params != params || metadata.artifacts != artifacts) {
    return format_error("PIR scheme artifact does not match manifest PIR metadata");
  }
  ClientHintContents contents = QV_TRY(read_hint(root / artifacts.client_hint));
  SelectedPirBackend backend = QV_TRY(select_pir_backend(params));
  PirClientArtifact artifact = QV_TRY(backend.load_client_artifact(params, std::move(contents)));
  return PirClient(std::move(params), std::move(artifact), std::move(backend));
}

template <class Operation>
auto PirClient::dispatch(Operation&& operation) const
    -> decltype(operation(ToySimplePirBackend{}, SimplePirClientArtifact{})) {
  // The backends are tried one by one (std::visit over this lambda crashes clang 16).
  const auto& backend = backend_.backend();
  if (const auto* toy = std::get_if<ToySimplePirBackend>(&backend)) {
    if (const auto* artifact = std::get_if<SimplePirClientArtifact>(&artifact_)) return operation(*toy, *artifact);
  } else if (const auto* rs = std::get_if<SimplePirRsBackend>(&backend)) {
    if (const auto* artifact = std::get_if<SimplePirRsClientArtifact>(&artifact_)) return operation(*rs, *artifact);
  } else if (const auto* balanced = std::get_if<BalancedBackend>(&backend)) {
    if (const auto* artifact = std::get_if<BalancedClientArtifact>(&artifact_)) return operation(*balanced, *artifact);
  }
  return format_error("PIR client artifact does not match selected backend");
}

Result<GeneratedQuery> PirClient::generate_query(std::uint64_t record_id, EntropySource source) const {
  return dispatch([&](const auto& backend, const auto& artifact) -> Result<GeneratedQuery> {
    return backend.generate_query(params_, artifact, record_id, source);
  });
}

Result<RecordBytes> PirClient::decode_response_record(const PirQueryContext& context,
                                                      const PirResponse& response) const {
  return dispatch([&](const auto& backend, const auto& artifact) -> Result<RecordBytes> {
    return backend.decode_response_record(params_, artifact, context, response);
  });
}

Result<PreparedBatchedPirQuery> PirClient::generate_batched_query(std::span<const std::uint64_t> record_ids,
                                                                  EntropySource source) const {
  if (record_ids.empty()) return format_error("batched PIR query must contain at least one record id");
  QV_TRY(check_profile_retrieval_count(params_.parameter_profile, record_ids.size()));
  std::vector<GeneratedQuery> generated =
      QV_TRY(dispatch([&](const auto& backend, const auto& artifact) -> Result<std::vector<GeneratedQuery>> {
        QV_TRY(backend.check_common(params_, artifact));
        std::vector<QueryMaterial> materials;
        materials.reserve(record_ids.size());
        for (const std::uint64_t record_id : record_ids) {
          materials.push_back(QV_TRY(backend.draw_material(artifact, record_id, source)));
        }
        return backend.generate_queries_from_material(params_, artifact, std::move(materials));
      }));
  PreparedBatchedPirQuery prepared;
  prepared.query.scheme = params_.scheme;
  prepared.query.retrieval_count = generated.size();
  prepared.query.queries.reserve(generated.size());
  prepared.contexts.reserve(generated.size());
  for (GeneratedQuery& query : generated) {
    query.query.scheme = params_.scheme;
    prepared.query.queries.push_back(std::move(query.query));
    prepared.contexts.push_back(std::move(query.context));
  }
  return prepared;
}

Status PirClient::check_batched_response(std::span<const PirQueryContext> contexts,
                                         const BatchedPirResponse& response) const {
  QV_TRY(response.validate());
  QV_TRY(check_batch_scheme("batched PIR response", response.scheme, params_.scheme));
  for (const PirResponse& item : response.responses) QV_TRY(check_batch_scheme("PIR response", item.scheme, params_.scheme));
  if (contexts.size() != response.responses.size()) {
    return format_error(concat("batched PIR context count ", contexts.size(), " does not match response count ",
                               response.responses.size()));
  }
  return {};
}

Result<std::vector<RecordBytes>> PirClient::decode_batched_response_records(std::span<const PirQueryContext> contexts,
                                                                           const BatchedPirResponse& response) const {
  QV_TRY(check_batched_response(contexts, response));
  std::vector<RecordBytes> records;
  records.reserve(contexts.size());
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    records.push_back(QV_TRY(decode_response_record(contexts[i], response.responses[i])));
  }
  return records;
}

Result<DecodedColumns> PirClient::decode_batched_response_columns(std::span<const PirQueryContext> contexts,
                                                                  const BatchedPirResponse& response) const {
  QV_TRY(check_batched_response(contexts, response));
  return dispatch([&](const auto& backend, const auto& artifact) -> Result<DecodedColumns> {
    return backend.decode_response_columns(params_, artifact, contexts, response.responses);
  });
}

Result<std::vector<ChunkRecord>> PirClient::decode_batched_response_chunks(std::span<const PirQueryContext> contexts,
                                                                           const BatchedPirResponse& response) const {
  const std::vector<RecordBytes> records = QV_TRY(decode_batched_response_records(contexts, response));
  std::vector<ChunkRecord> chunks;
  chunks.reserve(records.size());
  for (const auto& record : records) chunks.push_back(QV_TRY(decode_padded_chunk_record(record)));
  return chunks;
}

}  // namespace quorvex
