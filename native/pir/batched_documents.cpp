#include "pir/batched_documents.hpp"

#include <optional>
#include <utility>

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

// A one-pass reader for response documents in their plain form: objects with
// exactly the expected members, each once and in any order, integers without
// sign, fraction or exponent, strings without escapes, JSON whitespace
// between tokens. A document it accepts means the same to the general parser
// and decoder; anything else (other forms, anything questionable, any fault)
// makes it give up, and the general path reads the document and reports the
// fault with its position. It skips building a tree and copying every payload
// string character by character.
class PlainResponseReader {
 public:
  explicit PlainResponseReader(std::string_view text) : text_(text) {}

  std::optional<BatchedPirResponse> read() {
    BatchedPirResponse response;
    bool version = false, scheme = false, count = false, responses = false;
    const bool read_members = members([&](std::string_view key) {
      if (key == "protocol_version") return once(version) && u32(response.protocol_version);
      if (key == "scheme") return once(scheme) && scheme_name();
      if (key == "retrieval_count") return once(count) && u64(response.retrieval_count);
      if (key == "responses") return once(responses) && response_list(response.responses);
      return false;
    });
    skip_space();
    if (!read_members || !version || !scheme || !count || !responses || at_ != text_.size()) return std::nullopt;
    return response;
  }

 private:
  static bool once(bool& seen) { return !std::exchange(seen, true); }
  static bool is_json_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

  void skip_space() {
    while (at_ < text_.size() && is_json_space(text_[at_])) ++at_;
  }
  bool take(char c) {
    skip_space();
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  // A string of printable ASCII without escapes.
  std::optional<std::string_view> plain_string() {
    if (!take('"')) return std::nullopt;
    const std::size_t first = at_;
    while (at_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') return text_.substr(first, at_++ - first);
      if (c == '\\' || c < 0x20 || c >= 0x80) return std::nullopt;
      ++at_;
    }
    return std::nullopt;
  }
  bool u64(std::uint64_t& out) {
    skip_space();
    const std::size_t first = at_;
    std::uint64_t value = 0;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
      if (__builtin_mul_overflow(value, 10u, &value) ||
          __builtin_add_overflow(value, static_cast<unsigned>(text_[at_] - '0'), &value)) {
        return false;
      }
      ++at_;
    }
    const std::size_t digits = at_ - first;
    if (digits == 0 || (digits > 1 && text_[first] == '0')) return false;
    if (at_ < text_.size() && (text_[at_] == '.' || text_[at_] == 'e' || text_[at_] == 'E')) return false;
    out = value;
    return true;
  }
  bool u32(std::uint32_t& out) {
    std::uint64_t value = 0;
    if (!u64(value) || value > 0xFFFFFFFFu) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
  }
  bool scheme_name() {
    const auto name = plain_string();
    return name && *name == kPirSchemeName;
  }
  // An object whose members `member` reads, given each key.
  template <class Member>
  bool members(Member&& member) {
    if (!take('{')) return false;
    if (take('}')) return true;
    do {
      const auto key = plain_string();
      if (!key || !take(':') || !member(*key)) return false;
    } while (take(','));
    return take('}');
  }
  bool response_list(std::vector<PirResponse>& out) {
    if (!take('[')) return false;
    if (take(']')) return true;
    do {
      PirResponse item;
      bool version = false, scheme = false, payload = false;
      const bool read_item = members([&](std::string_view key) {
        if (key == "protocol_version") return once(version) && u32(item.protocol_version);
        if (key == "scheme") return once(scheme) && scheme_name();
        if (key == "payload") return once(payload) && payload_bytes(item.payload);
        return false;
      });
      if (!read_item || !version || !scheme || !payload) return false;
      out.push_back(std::move(item));
    } while (take(','));
    return take(']');
  }
  bool payload_bytes(PirPayload& out) {
    const auto text = plain_string();
    if (!text) return false;
    auto bytes = payload_codec::decode(*text);
    if (!bytes) return false;
    out.bytes = std::move(bytes).value();
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

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
  if (std::optional<BatchedPirResponse> plain = PlainResponseReader(text).read()) {
    QV_TRY(plain->validate());
    return std::move(plain).value();
  }
  auto parsed = read_json<BatchedPirResponse>(text);
  if (!parsed) return std::unexpected(QuorvexError::json_label("batched-pir-response", std::move(parsed).error()));
  QV_TRY(parsed->validate());
  return std::move(parsed).value();
}

Status BatchedPirResponse::validate() const {
  return validate_batch("batched PIR response", "PIR response", protocol_version, retrieval_count, responses);
}

}  // namespace quorvex
