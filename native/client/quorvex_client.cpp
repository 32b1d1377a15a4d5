#include "client/quorvex_client.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "client/balanced_size_envelope.hpp"
#include "client/retrieval_padding.hpp"
#include "client/shuffled_padding.hpp"
#include "core/bundle_paths.hpp"
#include "core/checksum.hpp"
#include "core/file_io.hpp"
#include "core/json_file.hpp"
#include "core/sha256.hpp"
#include "core/size_envelope.hpp"
#include "core/text.hpp"
#include "core/wiped_value.hpp"
#include "pir/padded_chunk_record.hpp"
#include "pir/pir_profiles.hpp"

namespace quorvex {

namespace {

// The largest query document a retrieval may produce. Far beyond any sensible
// request, yet it keeps an absurd retrieval_count from exhausting memory.
constexpr std::uint64_t kMaxQueryDocumentBytes = std::uint64_t{1} << 30;

// The files checked against "checksums.json" after the manifest, in order.
constexpr std::array<std::string_view, 6> kFilesAfterManifest = {
    kVectorsFile, kIdsFile, kMetadataFile, kIndexConfigFile, kPirSchemeFile, kPirClientHintFile,
};

// The client hint, read once while it is hashed: a balanced hint straight into
// the values it is kept in (its format error waits for its turn), any other
// profile's as bytes.
Result<ClientHintContents> read_client_hint(const ChecksumManifest& checksums, const std::filesystem::path& root,
                                            bool balanced) {
  if (balanced) {
    Result<BalancedClientArtifact> parsed =
        QV_TRY(checksums.read_verified_whole(root, kPirClientHintFile, BalancedClientArtifact::read_from));
    return ClientHintContents(std::in_place_type<Result<BalancedClientArtifact>>, std::move(parsed));
  }
  return ClientHintContents(std::in_place_type<std::string>, QV_TRY(checksums.read_verified_file(root, kPirClientHintFile)));
}

}  // namespace

Result<QuorvexClient> QuorvexClient::open_public_cache(const std::filesystem::path& cache_dir) {
  const BundlePaths paths(cache_dir);
  // Every file is read once: the bytes checked against "checksums.json" are
  // the bytes parsed. The checks run in this order: the manifest, the four
  // index files, the scheme, the client hint; then the size envelope; then
  // what the files say.
  const std::string manifest_contents = QV_TRY(read_json_text(paths.manifest()));
  BundleManifest manifest = QV_TRY(parse_json_file<BundleManifest>(paths.manifest(), manifest_contents));
  QV_TRY(manifest.validate_v0());
  const std::string checksums_contents = QV_TRY(read_json_text(paths.checksums()));
  const ChecksumManifest checksums =
      QV_TRY(parse_json_file<ChecksumManifest>(paths.checksums(), checksums_contents));
  QV_TRY(checksums.verify_contents(kManifestFile, manifest_contents));
  // The size envelope needs only file metadata, so it is taken before any
  // large file is read. A cache outside it is only hashed, in constant
  // memory, so that a checksum failure is still the one reported first.
  Status envelope = validate_supported_profile_public_cache_size_envelope(manifest, paths.root());
  if (envelope) envelope = validate_balanced_cache_sizes(manifest, paths.root());
  if (!envelope) {
    QV_TRY(checksums.validate_files(paths.root(), kFilesAfterManifest));
    return std::unexpected(std::move(envelope).error());
  }
  VerifiedIndexFiles index_files = QV_TRY(VerifiedIndexFiles::read(checksums, paths.root()));
  // A balanced cache may carry a lexical index, read (and checked) like the other index files.
  std::optional<Result<LexicalIndex>> lexical;
  if (is_balanced_manifest(manifest) && checksums.files.contains(kLexicalIndexFile)) {
    lexical = QV_TRY(checksums.read_verified(paths.root(), kLexicalIndexFile, LexicalIndex::read_from));
  }
  const Result<std::string> scheme = QV_TRY(
      checksums.read_verified(paths.root(), kPirSchemeFile, [](InputFile& file) { return read_json_text(file); }));
  ClientHintContents client_hint = QV_TRY(read_client_hint(checksums, paths.root(), is_balanced_manifest(manifest)));

  LocalIndex index = QV_TRY(LocalIndex::from_verified_files(std::move(index_files)));
  QV_TRY(index.validate_against_manifest(manifest));
  if (lexical) QV_TRY(index.attach_lexical(QV_TRY(std::move(*lexical))));
  PirClient pir_client =
      QV_TRY(PirClient::from_public_manifest_and_files(manifest, paths.root(), scheme, std::move(client_hint)));
  return QuorvexClient(std::move(manifest), manifest_contents, sha256_hex(checksums_contents), std::move(index),
                       std::move(pir_client));
}

Result<std::vector<SearchResult>> QuorvexClient::search(std::span<const float> query_embedding,
                                                        std::uint64_t top_k) const {
  return index_.search_cosine(query_embedding, top_k);
}

Status QuorvexClient::check_retrieval_size(const RetrievalConfig& config) const {
  // Each query carries one framed 64-bit element per record (toy) or per row
  // of the square database (simplepir-rs), or one 32-bit element per column
  // (balanced), written four characters per three bytes.
  const PirParams& params = pir_client_.params();
  std::uint64_t elements = params.record_count, width = 8;
  switch (find_pir_profile(params.parameter_profile)->backend) {
    case PirBackendKind::Toy: break;
    case PirBackendKind::SimplePirRs:
      elements = std::max({params.record_count, params.record_size_bytes / 2 + 1, std::uint64_t{1}});
      break;
    case PirBackendKind::Balanced: width = 4; break;  // at most a column per record
  }
  const std::uint64_t per_query = (16 + width * std::min(elements, kMaxQueryDocumentBytes)) / 3 * 4 + 80;
  const std::uint64_t most = std::max<std::uint64_t>(1, kMaxQueryDocumentBytes / per_query);
  if (config.retrieval_count > most) {
    return format_error(concat("retrieval_count ", config.retrieval_count,
                               " is larger than this client can prepare for this cache (at most ", most, ")"));
  }
  return {};
}

Result<std::vector<SearchResult>> QuorvexClient::search_hybrid(std::span<const float> query_embedding,
                                                               std::string_view question, std::uint64_t top_k) const {
  return index_.search_hybrid(query_embedding, question, top_k);
}

template <class Search>
Result<PreparedBatchedPirRetrieval> QuorvexClient::prepare_with(const RetrievalConfig& config, Search&& search) const {
  QV_TRY(validate_retrieval_config_for_profile(manifest_.pir_params, config));
  QV_TRY(check_retrieval_size(config));
  std::vector<SearchResult> hits = QV_TRY(search());
  SecretVector<std::uint64_t> hit_ids;
  hit_ids.reserve(hits.size());
  for (const SearchResult& hit : hits) hit_ids.push_back(hit.record_id);
  ShuffledRecordIds planned;
  if (find_pir_profile(pir_client_.params().parameter_profile)->backend == PirBackendKind::Balanced) {
    planned = QV_TRY(shuffled_retrieval_record_ids(hit_ids, manifest_.pir_record_count, config));
  } else {
    planned.record_ids = QV_TRY(padded_retrieval_record_ids(hit_ids, manifest_.pir_record_count, config));
    for (std::uint64_t i = 0; i < hits.size(); ++i) planned.hit_positions.push_back(i);
  }
  PreparedBatchedPirQuery batch = QV_TRY(pir_client_.generate_batched_query(planned.record_ids));
  PreparedBatchedPirRetrieval prepared;
  prepared.query = std::move(batch.query);
  prepared.contexts = std::move(batch.contexts);
  prepared.visible_result_count = hits.size();
  prepared.search_results = std::move(hits);
  prepared.hit_positions = std::move(planned.hit_positions);
  return prepared;
}

Result<PreparedBatchedPirRetrieval> QuorvexClient::prepare_retrieval(std::span<const float> query_embedding,
                                                                     const RetrievalConfig& config) const {
  return prepare_with(config, [&] { return index_.search_cosine(query_embedding, config.top_k); });
}

Result<PreparedBatchedPirRetrieval> QuorvexClient::prepare_hybrid_retrieval(std::span<const float> query_embedding,
                                                                            std::string_view question,
                                                                            const RetrievalConfig& config) const {
  return prepare_with(config, [&] { return index_.search_hybrid(query_embedding, question, config.top_k); });
}

Result<PreparedRetrievalJson> QuorvexClient::with_query_json(Result<PreparedBatchedPirRetrieval> prepared) {
  if (!prepared) return std::unexpected(std::move(prepared).error());
  std::vector<std::uint8_t> query_json = QV_TRY(prepared->query.to_json_vec());
  return PreparedRetrievalJson{std::move(prepared).value(), std::move(query_json)};
}

Result<PreparedRetrievalJson> QuorvexClient::prepare_retrieval_query_json(std::span<const float> query_embedding,
                                                                          const RetrievalConfig& config) const {
  return with_query_json(prepare_retrieval(query_embedding, config));
}

Result<PreparedRetrievalJson> QuorvexClient::prepare_hybrid_retrieval_query_json(
    std::span<const float> query_embedding, std::string_view question, const RetrievalConfig& config) const {
  return with_query_json(prepare_hybrid_retrieval(query_embedding, question, config));
}

Result<std::vector<ChunkRecord>> QuorvexClient::decode_retrieval_response_json(
    const PreparedBatchedPirRetrieval& prepared, std::span<const std::uint8_t> response_json) const {
  if (checks_whole_records()) return decode_checked_retrieval_response_json(prepared, response_json);
  const BatchedPirResponse response = QV_TRY(BatchedPirResponse::from_json_slice(response_json));
  std::vector<ChunkRecord> records = QV_TRY(pir_client_.decode_batched_response_chunks(prepared.contexts, response));
  std::vector<ChunkRecord> chunks;
  for (const std::uint64_t position : prepared.hit_positions) {
    if (position < records.size()) chunks.push_back(std::move(records[position]));
  }
  return chunks;
}

Result<std::vector<ChunkRecord>> QuorvexClient::decode_checked_retrieval_response_json(
    const PreparedBatchedPirRetrieval& prepared, std::span<const std::uint8_t> response_json) const {
  const std::vector<RecordDigest>& digests = index_.record_digests();
  if (digests.empty()) return format_error("this cache gives no record digests, so its records cannot be checked");
  const BatchedPirResponse response = QV_TRY(BatchedPirResponse::from_json_slice(response_json));
  const DecodedColumns columns = QV_TRY(pir_client_.decode_batched_response_columns(prepared.contexts, response));
  // Every record of every queried column, padding queries included, is hashed
  // and compared before the outcome is decided, so neither the work done nor
  // the outcome depends on which record of a column a query fetched. A slot
  // past the last record holds zero digits, which decode to zero bytes.
  const RecordDigest empty_slot = record_digest(RecordBytes(columns.record_size_bytes, 0));
  bool intact = true;
  for (std::size_t query = 0; query < prepared.contexts.size(); ++query) {
    const WipedValue<std::uint64_t> first = columns.first_covered_record(prepared.contexts[query].record_id);
    for (std::uint64_t slot = 0; slot < columns.records_per_column; ++slot) {
      const WipedValue<std::uint64_t> record_id = first + slot;
      intact &= record_digest(columns.record(query, slot)) == (record_id < digests.size() ? digests[record_id] : empty_slot);
    }
  }
  if (!intact) return format_error(std::string(kIntegrityFailure));
  std::vector<ChunkRecord> chunks;
  chunks.reserve(prepared.visible_result_count);
  for (std::size_t i = 0; i < prepared.hit_positions.size(); ++i) {
    if (prepared.hit_positions[i] >= prepared.contexts.size() || i >= prepared.search_results.size()) {
      return format_error("prepared retrieval does not match the response");
    }
    const PirQueryContext& context = prepared.contexts[prepared.hit_positions[i]];
    // The record is the publisher's own (its digest matched): its errors name no length and no position.
    ChunkRecord chunk = QV_TRY(decode_padded_chunk_record(
        columns.record(prepared.hit_positions[i], context.record_id % columns.records_per_column),
        RecordErrors::WithoutLengths));
    const SearchResult& hit = prepared.search_results[i];
    // A difference is the cache's fault, as is a record that is not a chunk record.
    if (chunk.record_id != hit.record_id || chunk.chunk_id != hit.chunk_id) {
      return format_error("the cache's index and its PIR records do not belong together");
    }
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

}  // namespace quorvex
