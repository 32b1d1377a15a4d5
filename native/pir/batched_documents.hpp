// The batched PIR documents: the query the client writes (one PIR query per
// record id) and the response the server sends back (one answer per query,
// in the same order).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/error.hpp"
#include "core/json_decode.hpp"
#include "pir/pir_query.hpp"

namespace quorvex {

struct BatchedPirQuery {
  std::uint32_t protocol_version = kPirProtocolVersion;
  PirScheme scheme = PirScheme::SimplePirLweV0;
  std::uint64_t retrieval_count = 0;
  std::vector<PirQuery> queries;

  // Parses (any fault is a Json error for "batched-pir-query") and validates.
  static Result<BatchedPirQuery> from_json_slice(std::span<const std::uint8_t> bytes);
  Status validate() const;
  // Compact JSON, keys in the order protocol_version, scheme, retrieval_count, queries.
  Result<std::vector<std::uint8_t>> to_json_vec() const;
};

struct BatchedPirResponse {
  std::uint32_t protocol_version = kPirProtocolVersion;
  PirScheme scheme = PirScheme::SimplePirLweV0;
  std::uint64_t retrieval_count = 0;
  std::vector<PirResponse> responses;

  // Parses (any fault is a Json error for "batched-pir-response") and validates.
  static Result<BatchedPirResponse> from_json_slice(std::span<const std::uint8_t> bytes);
  Status validate() const;
  // Compact JSON, keys in the order protocol_version, scheme, retrieval_count, responses.
  Result<std::vector<std::uint8_t>> to_json_vec() const;
};

// The supported and the balanced profiles' batches hold exactly four
// queries: "PIR parameter_profile {profile} requires retrieval_count {n}, got {count}".
Status check_profile_retrieval_count(std::string_view parameter_profile, std::uint64_t retrieval_count);
// "{label} scheme {scheme} does not match the store's scheme {expected}".
Status check_batch_scheme(std::string_view label, PirScheme scheme, PirScheme expected);

// A batched query with the secret context of each query at the same position.
struct PreparedBatchedPirQuery {
  BatchedPirQuery query;
  std::vector<PirQueryContext> contexts;
};

template <>
struct JsonRecord<BatchedPirQuery> {
  using R = BatchedPirQuery;
  static constexpr std::string_view name = "BatchedPirQuery";
  static constexpr std::tuple fields{
      field("protocol_version", &R::protocol_version),
      field("scheme", &R::scheme),
      field("retrieval_count", &R::retrieval_count),
      field("queries", &R::queries),
  };
  static constexpr bool array_form = true;
};

template <>
struct JsonRecord<BatchedPirResponse> {
  using R = BatchedPirResponse;
  static constexpr std::string_view name = "BatchedPirResponse";
  static constexpr std::tuple fields{
      field("protocol_version", &R::protocol_version),
      field("scheme", &R::scheme),
      field("retrieval_count", &R::retrieval_count),
      field("responses", &R::responses),
  };
  static constexpr bool array_form = true;
};

}  // namespace quorvex
