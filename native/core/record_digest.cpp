#include "core/record_digest.hpp"

#include <array>

#include "core/text.hpp"

namespace quorvex {

namespace {

// The value of each lower-case hexadecimal digit; kNotHex for every other byte.
constexpr unsigned kNotHex = 0x10;
constexpr std::array<std::uint8_t, 256> kHexValues = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(kNotHex);
  for (unsigned c = '0'; c <= '9'; ++c) values[c] = static_cast<std::uint8_t>(c - '0');
  for (unsigned c = 'a'; c <= 'f'; ++c) values[c] = static_cast<std::uint8_t>(c - 'a' + 10);
  return values;
}();

}  // namespace

RecordDigest record_digest(std::span<const std::uint8_t> record) {
  Sha256 sha;
  sha.update(std::span(reinterpret_cast<const char*>(record.data()), record.size()));
  return sha.finish();
}

std::optional<RecordDigest> parse_record_digest(std::string_view hex) {
  RecordDigest digest{};
  if (hex.size() != 2 * digest.size()) return std::nullopt;
  // Every digit is looked up and the verdict taken once, at the end: no branch per digit.
  unsigned seen = 0;
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const unsigned high = kHexValues[static_cast<unsigned char>(hex[2 * i])];
    const unsigned low = kHexValues[static_cast<unsigned char>(hex[2 * i + 1])];
    seen |= high | low;
    digest[i] = static_cast<unsigned char>(high << 4 | low);
  }
  if (seen & kNotHex) return std::nullopt;
  return digest;
}

JsonStatus decode_json(const JsonValue& value, std::optional<RecordDigest>& out) {
  std::optional<RecordDigest> digest;
  if (value.type() == JsonValue::Type::String) digest = parse_record_digest(value.text());
  if (!digest) return json_fault("invalid value: expected 64 lower-case hexadecimal digits", value.end_offset());
  out = digest;
  return {};
}

}  // namespace quorvex
