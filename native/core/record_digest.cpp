#include "core/record_digest.hpp"

#include "core/text.hpp"

namespace quorvex {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

RecordDigest record_digest(std::span<const std::uint8_t> record) {
  Sha256 sha;
  sha.update(std::span(reinterpret_cast<const char*>(record.data()), record.size()));
  return sha.finish();
}

JsonStatus decode_json(const JsonValue& value, std::optional<RecordDigest>& out) {
  const auto refuse = [&] {
    return json_fault("invalid value: expected 64 lower-case hexadecimal digits", value.end_offset());
  };
  if (value.type() != JsonValue::Type::String) return refuse();
  const std::string_view text = value.text();
  RecordDigest digest{};
  if (text.size() != 2 * digest.size()) return refuse();
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const int high = hex_value(text[2 * i]), low = hex_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return refuse();
    digest[i] = static_cast<unsigned char>(high << 4 | low);
  }
  out = digest;
  return {};
}

}  // namespace quorvex
