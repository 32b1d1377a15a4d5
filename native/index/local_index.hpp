// LocalIndex: the verified in-memory index of one bundle and its exact cosine
// search. Built only by load_verified_from_public_cache; immutable afterwards,
// so any number of searches may run on it at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/chunk.hpp"
#include "core/error.hpp"
#include "core/manifest.hpp"
#include "core/record_digest.hpp"
#include "index/index_config.hpp"
#include "index/index_reader.hpp"
#include "core/secret_vector.hpp"
#include "index/lexical_index.hpp"
#include "index/ranking.hpp"
#include "index/search_result.hpp"
#include "index/vector_table.hpp"
#include "index/verified_index_files.hpp"

namespace quorvex {

class LocalIndex {
 public:
  // Reads and validates the manifest, verifies the checksums of the four index
  // files, reads the index and checks it against the manifest.
  static Result<LocalIndex> load_verified_from_public_cache(const std::filesystem::path& root);
  // An index over files that passed their checks (see VerifiedIndexFiles).
  static Result<LocalIndex> from_verified_files(VerifiedIndexFiles files);

  // The configuration against the manifest, then the row count against chunk_count.
  Status validate_against_manifest(const BundleManifest& manifest) const;
  // Adds the lexical index of the same rows, which hybrid searches then use.
  Status attach_lexical(LexicalIndex lexical);

  // The min(top_k, n) rows most similar to the query, best first. Fails when
  // the query's length is not the index's dimensions or a value is not finite.
  Result<std::vector<SearchResult>> search_cosine(std::span<const float> query, std::uint64_t top_k) const;
  Result<std::vector<SearchResult>> search_exact(std::span<const float> query, std::uint64_t top_k) const;
  // The min(top_k, n) rows that the fusion (rank_fusion.hpp) of the cosine
  // ranking and the lexical ranking of the question puts first, each with its
  // cosine score; the cosine search alone where there is no lexical index.
  Result<std::vector<SearchResult>> search_hybrid(std::span<const float> query, std::string_view question,
                                                  std::uint64_t top_k) const;
  // The min(top_k, n) rows the lexical index ranks first for the question,
  // each with its BM25 score (rows holding none of its terms are left out);
  // none where there is no lexical index.
  std::vector<SearchResult> search_lexical(std::string_view question, std::uint64_t top_k) const;
  bool has_lexical() const { return lexical_.has_value(); }

  const IndexConfig& config() const { return config_; }
  const std::string& embedding_model() const { return config_.embedding_model; }
  std::uint64_t dimensions() const { return config_.embedding_dimensions; }
  std::uint64_t row_count() const { return vectors_.row_count(); }
  const VectorTable& vectors() const { return vectors_; }
  const std::vector<std::uint64_t>& ids() const { return ids_; }
  const std::vector<IndexMetadataRecord>& metadata() const { return metadata_; }
  // The digest of every whole record, by record id; empty for an index published without them.
  const std::vector<RecordDigest>& record_digests() const { return record_digests_; }

 private:
  explicit LocalIndex(IndexTables tables);
  // The query has the index's dimensions and finite values.
  Status check_query(std::span<const float> query) const;
  // Every row's cosine score against a checked query.
  SecretVector<float> cosine_scores_of(std::span<const float> query) const;
  SearchResult hit(const RankedRow& ranked) const;
  // The lexical ranking of the question, at most `depth` rows with a positive score.
  SecretVector<RankedRow> lexical_ranking(std::string_view question, std::uint64_t depth) const;

  IndexConfig config_;
  VectorTable vectors_;
  std::vector<std::uint64_t> ids_;
  std::vector<IndexMetadataRecord> metadata_;
  std::vector<float> row_norms_;  // √ of each row's sum of squares, for scoring
  std::vector<RecordDigest> record_digests_;
  std::optional<LexicalIndex> lexical_;
};

// The canonical absolute path of an existing entry (links, "." and ".."
// resolved), or an Io error carrying the given path.
Result<std::filesystem::path> canonicalize_existing_dir(const std::filesystem::path& path);

}  // namespace quorvex
