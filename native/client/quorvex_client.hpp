// QuorvexClient: a public cache opened as one verified, immutable unit. It
// searches the local index and turns searches into padded private retrievals.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/retrieval_config.hpp"
#include "core/chunk.hpp"
#include "core/error.hpp"
#include "core/manifest.hpp"
#include "core/secret_vector.hpp"
#include "index/local_index.hpp"
#include "pir/batched_documents.hpp"
#include "pir/pir_client.hpp"

namespace quorvex {

// The client-side state of one retrieval between the query and the response.
struct PreparedBatchedPirRetrieval {
  BatchedPirQuery query;
  std::vector<PirQueryContext> contexts;     // secret; never serialised
  std::vector<SearchResult> search_results;  // the real hits, in ranking order
  std::uint64_t visible_result_count = 0;
  // The query of hit i, in ranking order: i itself, but for the balanced
  // profile, whose hits sit at random positions. Secret; never serialised.
  SecretVector<std::uint64_t> hit_positions;
};

// What a checked decode reports for any record that differs from its digest.
inline constexpr std::string_view kIntegrityFailure =
    "the server's answer fails the integrity check of the records it fetched (it was altered, or computed from "
    "another publication's state)";

struct PreparedRetrievalJson {
  PreparedBatchedPirRetrieval prepared;
  std::vector<std::uint8_t> query_json;
};

class QuorvexClient {
 public:
  // Manifest, checksums, size envelope, index and PIR client, in that order;
  // the first failure is returned and nothing is kept.
  static Result<QuorvexClient> open_public_cache(const std::filesystem::path& cache_dir);

  // Exact cosine search of the local index.
  Result<std::vector<SearchResult>> search(std::span<const float> query_embedding, std::uint64_t top_k) const;

  // The cosine search fused with the lexical index's ranking of the question,
  // where the cache has one (a balanced cache published with it); the cosine
  // search alone otherwise.
  Result<std::vector<SearchResult>> search_hybrid(std::span<const float> query_embedding, std::string_view question,
                                                  std::uint64_t top_k) const;

  // The lexical index's ranking alone (none without a lexical index).
  std::vector<SearchResult> search_lexical(std::string_view question, std::uint64_t top_k) const {
    return index_.search_lexical(question, top_k);
  }

  Result<PreparedBatchedPirRetrieval> prepare_retrieval(std::span<const float> query_embedding,
                                                        const RetrievalConfig& config) const;
  // The same, fetching the hits of search_hybrid.
  Result<PreparedBatchedPirRetrieval> prepare_hybrid_retrieval(std::span<const float> query_embedding,
                                                               std::string_view question,
                                                               const RetrievalConfig& config) const;
  Result<PreparedRetrievalJson> prepare_retrieval_query_json(std::span<const float> query_embedding,
                                                             const RetrievalConfig& config) const;
  Result<PreparedRetrievalJson> prepare_hybrid_retrieval_query_json(std::span<const float> query_embedding,
                                                                    std::string_view question,
                                                                    const RetrievalConfig& config) const;
  // The chunk records of the real hits, in ranking order; padding is dropped.
  // A cache that gives record digests is decoded with every check, as below.
  Result<std::vector<ChunkRecord>> decode_retrieval_response_json(const PreparedBatchedPirRetrieval& prepared,
                                                                  std::span<const std::uint8_t> response_json) const;
  // The same after every record each answer covers (the whole column a query
  // asked for, padding queries included) has matched the digest the verified
  // cache holds for it. Any difference fails with kIntegrityFailure, the one
  // error an altered answer gives whichever records were fetched.
  Result<std::vector<ChunkRecord>> decode_checked_retrieval_response_json(
      const PreparedBatchedPirRetrieval& prepared, std::span<const std::uint8_t> response_json) const;

  const BundleManifest& manifest() const { return manifest_; }
  // The manifest's bytes as verified.
  const std::string& manifest_json() const { return manifest_json_; }
  // The publication: the SHA-256 of the verified "checksums.json" (which names
  // every other file's digest), in hexadecimal.
  const std::string& publication() const { return publication_; }
  // Whether the cache gives a digest of every whole record.
  bool checks_whole_records() const { return !index_.record_digests().empty(); }
  // Whether the cache carries a lexical index, which search_hybrid fuses with the cosine search.
  bool has_lexical_index() const { return index_.has_lexical(); }
  const LocalIndex& index() const { return index_; }
  const PirClient& pir_client() const { return pir_client_; }

 private:
  QuorvexClient(BundleManifest manifest, std::string manifest_json, std::string publication, LocalIndex index,
                PirClient pir_client)
      : manifest_(std::move(manifest)),
        manifest_json_(std::move(manifest_json)),
        publication_(std::move(publication)),
        index_(std::move(index)),
        pir_client_(std::move(pir_client)) {}

  // Refuses a retrieval_count whose query document could not reasonably be built.
  Status check_retrieval_size(const RetrievalConfig& config) const;
  // A retrieval of the hits `search` finds: the configuration's checks, the search, the padding, the queries.
  template <class Search>
  Result<PreparedBatchedPirRetrieval> prepare_with(const RetrievalConfig& config, Search&& search) const;
  static Result<PreparedRetrievalJson> with_query_json(Result<PreparedBatchedPirRetrieval> prepared);

  BundleManifest manifest_;
  std::string manifest_json_;
  std::string publication_;
  LocalIndex index_;
  PirClient pir_client_;
};

}  // namespace quorvex
