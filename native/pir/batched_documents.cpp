#include "pir/batched_documents.hpp"

#include "core/text.hpp"
#include "pir/payload_codec.hpp"

namespace quorvex {

namespace {

// The checks shared by both documents; `items` gives each item's version and payload.
template <class Item>
Status validate_batch(std::string_view label, std::string_view item_label, std::uint32_t protocol_version,
                      std::uint64_t retrieval_count, const std::vector<Item>& items) {
  QV_TRY(check_protocol_version(label, protocol_version));
  if (retrieval_count == 0) return format_error(concat(label, " retrieval_count must be greater than zero"));
  if (retrieval_count != items.size()) {
    return format_error(
        concat(label, " retrieval_count ", retrieval_count, " does not match payload count ", items.size()));
  }
  for (const Item& item : items) {
    QV_TRY(check_protocol_version(item_label, item.protocol_version));
    QV_TRY(check_payload_present(item_label, item.payload));
  }
  return {};
}

constexpr std::string_view kSchemeMember = R"("scheme":"simplepir-lwe-v0")";

}  // namespace

Status BatchedPirQuery::validate() const {
  return validate_batch("batched PIR query", "PIR query", protocol_version, retrieval_count, queries);
}

Result<std::vector<std::uint8_t>> BatchedPirQuery::to_json_vec() const {
  QV_TRY(validate());
  std::vector<std::string> payloads;
  payloads.reserve(queries.size());
  std::size_t size = 96;
  for (const PirQuery& query : queries) {
    payloads.push_back(payload_codec::encode(query.payload.bytes));
    size += payloads.back().size() + 72;
  }
  std::string document;
  document.reserve(size);
  document += concat(R"({"protocol_version":)", protocol_version, ",", kSchemeMember, R"(,"retrieval_count":)",
                     retrieval_count, R"(,"queries":[)");
  for (std::size_t k = 0; k < queries.size(); ++k) {
    if (k != 0) document += ',';
    document += concat(R"({"protocol_version":)", queries[k].protocol_version, ",", kSchemeMember,
                       R"(,"payload":")", payloads[k], R"("})");
  }
  document += "]}";
  return std::vector<std::uint8_t>(document.begin(), document.end());
}

Result<BatchedPirResponse> BatchedPirResponse::from_json_slice(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  auto parsed = read_json<BatchedPirResponse>(text);
  if (!parsed) return std::unexpected(QuorvexError::json_label("batched-pir-response", std::move(parsed).error()));
  QV_TRY(parsed->validate());
  return std::move(parsed).value();
}

Status BatchedPirResponse::validate() const {
  return validate_batch("batched PIR response", "PIR response", protocol_version, retrieval_count, responses);
}

}  // namespace quorvex
