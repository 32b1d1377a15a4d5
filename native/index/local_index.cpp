#include "index/local_index.hpp"

#include <string_view>
#include <system_error>

#include "core/bundle_paths.hpp"
#include "core/checksum.hpp"
#include "core/json_file.hpp"
#include "core/text.hpp"
#include "index/cosine_scores.hpp"
#include "index/finite_values.hpp"
#include "index/rank_fusion.hpp"
#include "index/ranking.hpp"

namespace quorvex {

Result<std::filesystem::path> canonicalize_existing_dir(const std::filesystem::path& path) {
  QV_TRY(check_path_has_no_nul(path));
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::canonical(path, error);
  if (error) return std::unexpected(QuorvexError::io(path, IoSource::os(error.value())));
  return canonical;
}

LocalIndex::LocalIndex(IndexTables tables)
    : config_(std::move(tables.config)),
      vectors_(std::move(tables.vectors)),
      ids_(std::move(tables.ids)),
      metadata_(std::move(tables.metadata)),
      row_norms_(row_norms(vectors_)) {
  // The tables hold digests on every row or on none, and their ids are a permutation of the rows.
  if (metadata_.empty() || !metadata_[0].record_sha256) return;
  record_digests_.resize(metadata_.size());
  for (const IndexMetadataRecord& row : metadata_) record_digests_[row.record_id] = *row.record_sha256;
}

Result<LocalIndex> LocalIndex::load_verified_from_public_cache(const std::filesystem::path& root) {
  const BundlePaths bundle(root);
  const BundleManifest manifest = QV_TRY(read_json_file<BundleManifest>(bundle.manifest()));
  QV_TRY(manifest.validate_v0());
  const ChecksumManifest checksums = QV_TRY(read_json_file<ChecksumManifest>(bundle.checksums()));

  const IndexReader reader(bundle.index_dir());
  const std::filesystem::path reader_dir = QV_TRY(canonicalize_existing_dir(reader.index_dir()));
  const std::filesystem::path bundle_dir = QV_TRY(canonicalize_existing_dir(BundlePaths(root).index_dir()));
  if (reader_dir != bundle_dir) {
    return format_error(concat("verified index reader path ", display_path(reader_dir),
                               " does not match bundle index path ", display_path(bundle_dir)));
  }
  LocalIndex index = QV_TRY(from_verified_files(QV_TRY(VerifiedIndexFiles::read(checksums, root))));
  QV_TRY(index.validate_against_manifest(manifest));
  return index;
}

Result<LocalIndex> LocalIndex::from_verified_files(VerifiedIndexFiles files) {
  return LocalIndex(QV_TRY(std::move(files).tables()));
}

Status LocalIndex::validate_against_manifest(const BundleManifest& manifest) const {
  QV_TRY(config_.validate_against_manifest(manifest));
  if (row_count() != manifest.chunk_count) {
    return format_error(concat("loaded index row count ", row_count(), " does not match manifest chunk count ",
                               manifest.chunk_count));
  }
  return {};
}

Result<std::vector<SearchResult>> LocalIndex::search_cosine(std::span<const float> query, std::uint64_t top_k) const {
  return search_exact(query, top_k);
}

Status LocalIndex::attach_lexical(LexicalIndex lexical) {
  if (lexical.row_count() != row_count()) {
    return format_error(concat("the lexical index holds ", lexical.row_count(), " rows, the index ", row_count()));
  }
  lexical_ = std::move(lexical);
  return {};
}

Status LocalIndex::check_query(std::span<const float> query) const {
  if (query.size() != config_.embedding_dimensions) {
    return format_error(
        concat("query has ", query.size(), " dimensions, expected ", config_.embedding_dimensions));
  }
  if (const auto d = first_non_finite(query)) return std::unexpected(non_finite_error("query vector", *d));
  return {};
}

SecretVector<float> LocalIndex::cosine_scores_of(std::span<const float> query) const {
  // Every row's similarity to the query says much about the query: wiped when freed.
  SecretVector<float> scores(vectors_.row_count());
  cosine_scores(vectors_, row_norms_, query, scores, score_kernel_for(vectors_));
  return scores;
}

SearchResult LocalIndex::hit(const RankedRow& ranked) const {
  const IndexMetadataRecord& record = metadata_[ranked.row];
  std::optional<Metadata> metadata;
  if (!record.metadata.is_null()) metadata = record.metadata;
  return SearchResult{record.chunk_id, ranked.record_id, ranked.score, std::move(metadata)};
}

Result<std::vector<SearchResult>> LocalIndex::search_exact(std::span<const float> query, std::uint64_t top_k) const {
  QV_TRY(check_query(query));
  if (top_k == 0) return std::vector<SearchResult>{};
  const SecretVector<float> scores = cosine_scores_of(query);
  std::vector<SearchResult> hits;
  for (const RankedRow& ranked : select_top_k(scores, ids_, top_k)) hits.push_back(hit(ranked));
  return hits;
}

SecretVector<RankedRow> LocalIndex::lexical_ranking(std::string_view question, std::uint64_t depth) const {
  SecretVector<float> scores(row_count());
  lexical_->score(question, scores);
  SecretVector<RankedRow> ranked = select_top_k(scores, ids_, depth);
  std::erase_if(ranked, [](const RankedRow& row) { return !(row.score > 0); });  // rows with none of its terms
  return ranked;
}

std::vector<SearchResult> LocalIndex::search_lexical(std::string_view question, std::uint64_t top_k) const {
  std::vector<SearchResult> hits;
  if (!lexical_) return hits;
  for (const RankedRow& ranked : lexical_ranking(question, top_k)) hits.push_back(hit(ranked));
  return hits;
}

Result<std::vector<SearchResult>> LocalIndex::search_hybrid(std::span<const float> query, std::string_view question,
                                                            std::uint64_t top_k) const {
  if (!lexical_ || top_k == 0) return search_exact(query, top_k);
  QV_TRY(check_query(query));
  const SecretVector<float> scores = cosine_scores_of(query);
  const std::uint64_t depth = std::max(top_k, kFusionDepth);
  const SecretVector<RankedRow> dense = select_top_k(scores, ids_, depth);
  const SecretVector<RankedRow> lexical = lexical_ranking(question, depth);
  std::vector<SearchResult> hits;
  for (const std::size_t row : fused_rows(dense, lexical, top_k)) hits.push_back(hit({scores[row], ids_[row], row}));
  return hits;
}

}  // namespace quorvex
