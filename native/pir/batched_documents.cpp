#include "pir/batched_documents.hpp"

#include <optional>
#include <utility>

#include "core/profile_names.hpp"
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

// Where each batched document keeps its items.
template <class Batch>
struct BatchItems;
template <>
struct BatchItems<BatchedPirQuery> {
  static constexpr std::string_view key = "queries";
  static constexpr auto items = &BatchedPirQuery::queries;
};
template <>
struct BatchItems<BatchedPirResponse> {
  static constexpr std::string_view key = "responses";
  static constexpr auto items = &BatchedPirResponse::responses;
};

// A one-pass reader for batched documents in their plain form: objects with
// exactly the expected members, each once and in any order, integers without
// sign, fraction or exponent, strings without escapes, JSON whitespace
// between tokens. A document it accepts means the same to the general parser
// and decoder; anything else (other forms, anything questionable, any fault)
// makes it give up, and the general path reads the document and reports the
// fault with its position. It skips building a tree and copying every payload
// string character by character. `Batch` is BatchedPirQuery or
// BatchedPirResponse.
template <class Batch>
class PlainBatchReader {
 public:
  explicit PlainBatchReader(std::string_view text) : text_(text) {}

  std::optional<Batch> read() {
    Batch batch;
    bool version = false, scheme = false, count = false, items = false;
    const bool read_members = members([&](std::string_view key) {
      if (key == "protocol_version") return once(version) && u32(batch.protocol_version);
      if (key == "scheme") return once(scheme) && scheme_name(batch.scheme);
      if (key == "retrieval_count") return once(count) && u64(batch.retrieval_count);
      if (key == BatchItems<Batch>::key) return once(items) && item_list(batch.*BatchItems<Batch>::items);
      return false;
    });
    skip_space();
    if (!read_members || !version || !scheme || !count || !items || at_ != text_.size()) return std::nullopt;
    return batch;
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
  bool scheme_name(PirScheme& out) {
    const auto name = plain_string();
    const std::optional<PirScheme> scheme = name ? pir_scheme_named(*name) : std::nullopt;
    if (scheme) out = *scheme;
    return scheme.has_value();
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
  template <class Item>
  bool item_list(std::vector<Item>& out) {
    if (!take('[')) return false;
    if (take(']')) return true;
    do {
      Item item;
      bool version = false, scheme = false, payload = false;
      const bool read_item = members([&](std::string_view key) {
        if (key == "protocol_version") return once(version) && u32(item.protocol_version);
        if (key == "scheme") return once(scheme) && scheme_name(item.scheme);
        if (key == "payload") return once(payload) && payload_bytes(item.payload);
        return false;
      });
      if (!read_item || !version || !scheme || !payload) return false;
      out.push_back(std::move(item));
    } while (take(','));
    return take(']');
  }
  // A payload string, found by its closing quote alone: a string holding an
  // escape or any byte outside the payload alphabet fails to decode, and the
  // reader gives up for the general parser.
  bool payload_bytes(PirPayload& out) {
    if (!take('"')) return false;
    const std::size_t close = text_.find('"', at_);
    if (close == std::string_view::npos) return false;
    auto bytes = payload_codec::decode(text_.substr(at_, close - at_));
    if (!bytes) return false;
    at_ = close + 1;
    out.bytes = std::move(bytes).value();
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

// Reads a batched document, the plain form in one pass and any other form
// through the general parser; a fault is a Json error for `label`.
template <class Batch>
Result<Batch> read_batch(std::span<const std::uint8_t> bytes, std::string_view label) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (std::optional<Batch> plain = PlainBatchReader<Batch>(text).read()) {
    QV_TRY(plain->validate());
    return std::move(plain).value();
  }
  auto parsed = read_json<Batch>(text);
  if (!parsed) return std::unexpected(QuorvexError::json_label(std::string(label), std::move(parsed).error()));
  QV_TRY(parsed->validate());
  return std::move(parsed).value();
}

// Writes a batched document compactly, keys in the order protocol_version,
// scheme, retrieval_count, then the items under `key`.
template <class Item>
std::vector<std::uint8_t> write_batch(std::uint32_t protocol_version, PirScheme scheme, std::uint64_t retrieval_count,
                                      std::string_view key, const std::vector<Item>& items) {
  const std::string head = concat(R"({"protocol_version":)", protocol_version, R"(,"scheme":")",
                                  pir_scheme_name(scheme), R"(","retrieval_count":)", retrieval_count, R"(,")", key,
                                  R"(":[)");
  std::vector<std::string> item_heads;
  std::size_t size = head.size() + 2;
  for (const Item& item : items) {
    item_heads.push_back(concat(item_heads.empty() ? "" : ",", R"({"protocol_version":)", item.protocol_version,
                                R"(,"scheme":")", pir_scheme_name(item.scheme), R"(","payload":")"));
    size += item_heads.back().size() + payload_codec::encoded_length(item.payload.bytes.size()) + 2;
  }
  // Written in place: the payloads are most of the document.
  std::vector<std::uint8_t> document(size);
  char* out = reinterpret_cast<char*>(document.data());
  const auto put = [&](std::string_view text) { out = std::copy(text.begin(), text.end(), out); };
  put(head);
  for (std::size_t k = 0; k < items.size(); ++k) {
    put(item_heads[k]);
    out = payload_codec::encode_into(items[k].payload.bytes, out);
    put(R"("})");
  }
  put("]}");
  return document;
}

}  // namespace

Status check_profile_retrieval_count(std::string_view parameter_profile, std::uint64_t retrieval_count) {
  const std::uint64_t required = parameter_profile == kSupportedProfile   ? kSupportedRetrievalCount
                                 : parameter_profile == kBalancedProfile ? kBalancedRetrievalCount
                                                                         : 0;
  if (required != 0 && retrieval_count != required) {
    return format_error(concat("PIR parameter_profile ", parameter_profile, " requires retrieval_count ", required,
                               ", got ", retrieval_count));
  }
  return {};
}

Status check_batch_scheme(std::string_view label, PirScheme scheme, PirScheme expected) {
  if (scheme != expected) {
    return format_error(concat(label, " scheme ", pir_scheme_name(scheme), " does not match the store's scheme ",
                               pir_scheme_name(expected)));
  }
  return {};
}

Status BatchedPirQuery::validate() const {
  return validate_batch("batched PIR query", "PIR query", protocol_version, retrieval_count, queries);
}

Result<std::vector<std::uint8_t>> BatchedPirQuery::to_json_vec() const {
  QV_TRY(validate());
  return write_batch(protocol_version, scheme, retrieval_count, "queries", queries);
}

Result<BatchedPirQuery> BatchedPirQuery::from_json_slice(std::span<const std::uint8_t> bytes) {
  return read_batch<BatchedPirQuery>(bytes, "batched-pir-query");
}

Result<BatchedPirResponse> BatchedPirResponse::from_json_slice(std::span<const std::uint8_t> bytes) {
  return read_batch<BatchedPirResponse>(bytes, "batched-pir-response");
}

Status BatchedPirResponse::validate() const {
  return validate_batch("batched PIR response", "PIR response", protocol_version, retrieval_count, responses);
}

Result<std::vector<std::uint8_t>> BatchedPirResponse::to_json_vec() const {
  QV_TRY(validate());
  return write_batch(protocol_version, scheme, retrieval_count, "responses", responses);
}

}  // namespace quorvex
