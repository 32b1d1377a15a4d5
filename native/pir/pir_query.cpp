#include "pir/pir_query.hpp"

#include "core/text.hpp"
#include "pir/payload_codec.hpp"
#include "pir/vector_payload.hpp"

namespace quorvex {

JsonStatus decode_json(const JsonValue& value, PirPayload& out) {
  if (value.type() != JsonValue::Type::String) {
    return json_fault(concat("invalid type: ", value.describe(), ", expected a Quorvex digit-free payload string"),
                      value.end_offset());
  }
  auto bytes = payload_codec::decode(value.text());
  if (!bytes) return json_fault(std::move(bytes).error(), value.end_offset());
  out.bytes = std::move(bytes).value();
  return {};
}

Status check_material(const QueryMaterial& material, std::uint64_t record_count, std::string_view prefix,
                      std::uint64_t secret_length, std::uint64_t error_length) {
  if (material.record_id >= record_count) {
    return std::unexpected(QuorvexError::record_out_of_range(material.record_id, record_count));
  }
  if (material.query_seed == 0) return format_error(concat(prefix, " seed cannot be zero"));
  if (material.secret.size() != secret_length) {
    return format_error(
        concat(prefix, " secret length ", material.secret.size(), " does not match expected ", secret_length));
  }
  if (material.error.size() != error_length) {
    return format_error(
        concat(prefix, " error length ", material.error.size(), " does not match expected ", error_length));
  }
  return {};
}

template <class Word>
GeneratedQuery finish_query(std::uint64_t magic, QueryMaterial material, std::span<const Word> vector) {
  Word sum = 0;
  for (const Word element : vector) sum += element;
  GeneratedQuery generated;
  generated.query.payload.bytes = encode_vector_payload(magic, vector);
  generated.context.secret = std::move(material.secret);
  generated.context.record_id = material.record_id;
  generated.context.query_seed = material.query_seed;
  generated.context.query_sum = sum;
  return generated;  // `material` (its error vector) is wiped as it dies
}

template <class Word>
std::vector<GeneratedQuery> finish_queries(std::uint64_t magic, std::vector<QueryMaterial> materials,
                                           const std::vector<std::vector<Word>>& vectors) {
  std::vector<GeneratedQuery> generated;
  generated.reserve(materials.size());
  for (std::size_t k = 0; k < materials.size(); ++k) {
    generated.push_back(finish_query(magic, std::move(materials[k]), std::span<const Word>(vectors[k])));
  }
  return generated;
}

template GeneratedQuery finish_query(std::uint64_t, QueryMaterial, std::span<const std::uint64_t>);
template GeneratedQuery finish_query(std::uint64_t, QueryMaterial, std::span<const std::uint32_t>);
template std::vector<GeneratedQuery> finish_queries(std::uint64_t, std::vector<QueryMaterial>,
                                                    const std::vector<std::vector<std::uint64_t>>&);
template std::vector<GeneratedQuery> finish_queries(std::uint64_t, std::vector<QueryMaterial>,
                                                    const std::vector<std::vector<std::uint32_t>>&);

Status check_protocol_version(std::string_view label, std::uint32_t version) {
  if (version != kPirProtocolVersion) {
    return format_error(concat(label, " protocol_version ", version, " is unsupported"));
  }
  return {};
}

Status check_payload_present(std::string_view label, const PirPayload& payload) {
  if (payload.bytes.empty()) return format_error(concat(label, " payload cannot be empty"));
  return {};
}

Status check_context_and_response(const PirParams& params, const PirQueryContext& context,
                                  const PirResponse& response) {
  QV_TRY(check_protocol_version("PIR query context", context.protocol_version));
  if (context.record_id >= params.record_count) {
    return std::unexpected(QuorvexError::record_out_of_range(context.record_id, params.record_count));
  }
  if (context.secret.size() != params.matrix_width) {
    return format_error(concat("PIR query context secret length ", context.secret.size(), " does not match expected ",
                               params.matrix_width));
  }
  QV_TRY(check_protocol_version("PIR response", response.protocol_version));
  return check_payload_present("PIR response", response.payload);
}

}  // namespace quorvex
