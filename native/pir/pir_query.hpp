// One PIR query or response as it travels, and the client's secret state of
// one query.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/error.hpp"
#include "core/json_decode.hpp"
#include "core/secret_vector.hpp"
#include "core/wiped_value.hpp"
#include "pir/pir_params.hpp"

namespace quorvex {

inline constexpr std::uint32_t kPirProtocolVersion = 1;

// Bytes carried in JSON as a digit-free payload string.
struct PirPayload {
  std::vector<std::uint8_t> bytes;
};

// Reads a payload string (a decode failure is a JSON error at its position).
JsonStatus decode_json(const JsonValue& value, PirPayload& out);

struct PirQuery {
  std::uint32_t protocol_version = kPirProtocolVersion;
  PirScheme scheme = PirScheme::SimplePirLweV0;
  PirPayload payload;
};

struct PirResponse {
  std::uint32_t protocol_version = kPirProtocolVersion;
  PirScheme scheme = PirScheme::SimplePirLweV0;
  PirPayload payload;
};

// The secret state of one query, kept by the client from generation to
// decoding and never sent. The secret and the record id are wiped when the
// context dies.
struct PirQueryContext {
  SecretVector<std::uint64_t> secret;  // 32-bit values for the balanced scheme
  WipedValue<std::uint64_t> record_id = 0;
  std::uint64_t query_seed = 0;
  std::uint64_t query_sum = 0;  // wrapping sum of the query vector's elements
  std::uint32_t protocol_version = kPirProtocolVersion;
};

// The plaintext of one record as a query decodes it; wiped when freed, since
// it says what was fetched.
using RecordBytes = SecretVector<std::uint8_t>;

// The random material of one query before its vector is built.
struct QueryMaterial {
  WipedValue<std::uint64_t> record_id = 0;
  std::uint64_t query_seed = 0;
  SecretVector<std::uint64_t> secret;
  SecretVector<std::int64_t> error;
};

struct GeneratedQuery {
  PirQuery query;
  PirQueryContext context;
};

// The per-query checks of generation, in order: record id in range, nonzero
// seed, then the secret and error lengths. `prefix` names the backend's query
// in messages ("PIR query", "simplepir-rs query").
Status check_material(const QueryMaterial& material, std::uint64_t record_count, std::string_view prefix,
                      std::uint64_t secret_length, std::uint64_t error_length);

// Frames the query vector under `magic`, records its wrapping sum (modulo
// 2^64, or 2^32 for a vector of 32-bit words), and moves the secret into the
// context; the error vector is wiped here. Word is std::uint64_t or std::uint32_t.
template <class Word>
GeneratedQuery finish_query(std::uint64_t magic, QueryMaterial material, std::span<const Word> vector);
// finish_query for a batch: vectors[k] belongs to materials[k].
template <class Word>
std::vector<GeneratedQuery> finish_queries(std::uint64_t magic, std::vector<QueryMaterial> materials,
                                           const std::vector<std::vector<Word>>& vectors);

// "{label} protocol_version {version} is unsupported" unless version 1.
Status check_protocol_version(std::string_view label, std::uint32_t version);
// "{label} payload cannot be empty".
Status check_payload_present(std::string_view label, const PirPayload& payload);
// The checks every backend makes on a context and a response before decoding.
Status check_context_and_response(const PirParams& params, const PirQueryContext& context,
                                  const PirResponse& response);

// A query and a response travel in the same form.
template <class Message>
struct PirMessageRecord {
  static constexpr std::tuple fields{
      field("protocol_version", &Message::protocol_version),
      field("scheme", &Message::scheme),
      field("payload", &Message::payload),
  };
  static constexpr bool array_form = true;
};

template <>
struct JsonRecord<PirQuery> : PirMessageRecord<PirQuery> {
  static constexpr std::string_view name = "PirQuery";
};

template <>
struct JsonRecord<PirResponse> : PirMessageRecord<PirResponse> {
  static constexpr std::string_view name = "PirResponse";
};

}  // namespace quorvex
