#include "index/metadata_line.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "core/json_decode.hpp"
#include "core/text.hpp"

namespace quorvex {

namespace {

// Reads the compact form left to right. Each reader takes what JSON reads the
// same way and nothing else; on anything else it returns nothing and the
// line goes to the parser.
class CompactScanner {
 public:
  explicit CompactScanner(std::string_view text) : text_(text) {}

  bool at_end() const { return at_ == text_.size(); }

  bool take(char c) {
    if (at_ == text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }

  // A string without escapes or control characters, its bytes valid UTF-8.
  std::optional<std::string_view> string() {
    if (!take('"')) return std::nullopt;
    const auto* quote = static_cast<const char*>(std::memchr(text_.data() + at_, '"', text_.size() - at_));
    if (quote == nullptr) return std::nullopt;
    const std::string_view contents = text_.substr(at_, static_cast<std::size_t>(quote - text_.data()) - at_);
    at_ += contents.size() + 1;
    // One pass without a branch a byte: what needs the parser (a backslash,
    // which also hides an escaped quote, or a control character) and whether
    // any byte is beyond ASCII.
    unsigned needs_parser = 0, beyond_ascii = 0;
    for (const char c : contents) {
      const auto byte = static_cast<unsigned char>(c);
      needs_parser |= static_cast<unsigned>(byte < 0x20) | static_cast<unsigned>(byte == '\\');
      beyond_ascii |= byte;
    }
    if (needs_parser != 0 || (beyond_ascii >= 0x80 && !is_valid_utf8(contents))) return std::nullopt;
    return contents;
  }

  // An unsigned integer without sign, leading zero, fraction or exponent (the
  // caller requires a delimiter next), of at most 19 digits, so below 2^64.
  std::optional<std::uint64_t> unsigned_integer() {
    const std::size_t begin = at_;
    std::uint64_t value = 0;
    for (; at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9'; ++at_) {
      if (at_ - begin == 19) return std::nullopt;
      value = value * 10 + static_cast<std::uint64_t>(text_[at_] - '0');
    }
    if (at_ == begin || (text_[begin] == '0' && at_ - begin > 1)) return std::nullopt;
    return value;
  }

  // A string, an unsigned integer, true, false or null.
  std::optional<Metadata> scalar() {
    if (peek('"')) {
      const auto text = string();
      if (!text) return std::nullopt;
      return Metadata(std::string(*text));
    }
    if (word("true")) return Metadata(true);
    if (word("false")) return Metadata(false);
    if (word("null")) return Metadata(nullptr);
    const auto number = unsigned_integer();
    if (!number) return std::nullopt;
    return Metadata(*number);
  }

  // A scalar, or an object of scalars (a later duplicate key wins, as in decode_json).
  std::optional<Metadata> metadata() {
    if (!take('{')) return scalar();
    Metadata object = Metadata::object();
    if (take('}')) return object;
    do {
      const auto key = string();
      if (!key || !take(':')) return std::nullopt;
      auto value = scalar();
      if (!value) return std::nullopt;
      object[std::string(*key)] = std::move(*value);
    } while (take(','));
    if (!take('}')) return std::nullopt;
    return object;
  }

  // The value of a field the record does not keep: a string or an unsigned integer.
  bool skip_value() { return peek('"') ? string().has_value() : unsigned_integer().has_value(); }

 private:
  bool peek(char c) const { return at_ < text_.size() && text_[at_] == c; }
  bool word(std::string_view literal) {
    if (!text_.substr(at_).starts_with(literal)) return false;
    at_ += literal.size();
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

enum Field : std::size_t { kRecordId, kChunkId, kDocumentId, kMetadata, kDigest, kFieldCount };

}  // namespace

std::optional<IndexMetadataRecord> scan_compact_metadata_line(std::string_view line) {
  CompactScanner in(line);
  if (!in.take('{')) return std::nullopt;
  IndexMetadataRecord record;
  std::array<bool, kFieldCount> seen{};
  const auto first_time = [&](Field field) { return !std::exchange(seen[field], true); };
  do {
    const auto key = in.string();
    if (!key || !in.take(':')) return std::nullopt;
    bool read = false;
    if (*key == "record_id") {
      const auto id = in.unsigned_integer();
      if ((read = first_time(kRecordId) && id)) record.record_id = *id;
    } else if (*key == "chunk_id" || *key == "document_id") {
      const bool chunk = *key == "chunk_id";
      const auto text = in.string();
      if ((read = first_time(chunk ? kChunkId : kDocumentId) && text)) {
        (chunk ? record.chunk_id : record.document_id) = *text;
      }
    } else if (*key == "metadata") {
      auto metadata = in.metadata();
      if ((read = first_time(kMetadata) && metadata)) record.metadata = std::move(*metadata);
    } else if (*key == kRecordDigestKey) {
      const auto text = in.string();
      record.record_sha256 = text ? parse_record_digest(*text) : std::nullopt;
      read = first_time(kDigest) && record.record_sha256;
    } else {
      read = in.skip_value();
    }
    if (!read) return std::nullopt;
  } while (in.take(','));
  if (!in.take('}') || !in.at_end() || !seen[kRecordId] || !seen[kChunkId] || !seen[kDocumentId]) {
    return std::nullopt;
  }
  return record;
}

std::expected<IndexMetadataRecord, JsonError> read_metadata_line(std::string_view line) {
  if (auto record = scan_compact_metadata_line(line)) return std::move(*record);
  return read_json<IndexMetadataRecord>(line);
}

}  // namespace quorvex
