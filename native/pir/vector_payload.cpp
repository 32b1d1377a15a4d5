#include "pir/vector_payload.hpp"

#include <bit>
#include <cstring>

#include "core/text.hpp"

namespace quorvex {

static_assert(std::endian::native == std::endian::little, "payload words are copied as little-endian values");

namespace {

constexpr std::size_t kWord = 8;
constexpr std::size_t kHeaderBytes = 2 * kWord;

std::uint64_t load_word(const std::uint8_t* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, kWord);
  return value;
}

std::unexpected<QuorvexError> ended_while_reading(std::string_view label, std::string_view field) {
  return format_error(concat(label, " ended while reading ", field));
}

}  // namespace

std::vector<std::uint8_t> encode_vector_payload(std::uint64_t magic, std::span<const std::uint64_t> values) {
  std::vector<std::uint8_t> bytes(kHeaderBytes + kWord * values.size());
  const std::uint64_t count = values.size();
  std::memcpy(bytes.data(), &magic, kWord);
  std::memcpy(bytes.data() + kWord, &count, kWord);
  if (!values.empty()) {
    std::memcpy(bytes.data() + kHeaderBytes, values.data(), kWord * values.size());
  }
  return bytes;
}

Result<std::vector<std::uint64_t>> decode_vector_payload(std::uint64_t magic, std::span<const std::uint8_t> bytes,
                                                          std::uint64_t expected_len, std::string_view label) {
  if (bytes.size() < kWord || load_word(bytes.data()) != magic) {
    return format_error(concat(label, " has an unsupported SimplePIR magic header"));
  }
  if (bytes.size() < kHeaderBytes) {
    return ended_while_reading(label, "PIR payload vector length");
  }
  const std::uint64_t count = load_word(bytes.data() + kWord);
  if (count != expected_len) {
    return format_error(concat(label, " vector length ", count, " does not match expected ", expected_len));
  }
  // Only as many elements as the bytes actually hold are ever allocated.
  const std::size_t available = (bytes.size() - kHeaderBytes) / kWord;
  if (available < count) {
    return ended_while_reading(label, "PIR payload value");
  }
  const std::size_t body_bytes = static_cast<std::size_t>(count) * kWord;
  const std::size_t trailing = bytes.size() - kHeaderBytes - body_bytes;
  if (trailing != 0) {
    return format_error(concat(label, " has ", trailing, " trailing bytes"));
  }
  std::vector<std::uint64_t> values(static_cast<std::size_t>(count));
  if (count != 0) {
    std::memcpy(values.data(), bytes.data() + kHeaderBytes, body_bytes);
  }
  return values;
}

}  // namespace quorvex
