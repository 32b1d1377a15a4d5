#include "pir/vector_payload.hpp"

#include <bit>
#include <cstring>

#include "core/text.hpp"

namespace quorvex {

static_assert(std::endian::native == std::endian::little, "payload words are copied as little-endian values");

namespace {

constexpr std::size_t kHeaderBytes = 16;

std::uint64_t load_u64(const std::uint8_t* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::unexpected<QuorvexError> ended_while_reading(std::string_view label, std::string_view field) {
  return format_error(concat(label, " ended while reading ", field));
}

template <class Word>
std::vector<std::uint8_t> encode(std::uint64_t magic, std::span<const Word> values) {
  std::vector<std::uint8_t> bytes(kHeaderBytes + sizeof(Word) * values.size());
  const std::uint64_t count = values.size();
  std::memcpy(bytes.data(), &magic, sizeof magic);
  std::memcpy(bytes.data() + sizeof magic, &count, sizeof count);
  if (!values.empty()) {
    std::memcpy(bytes.data() + kHeaderBytes, values.data(), sizeof(Word) * values.size());
  }
  return bytes;
}

}  // namespace

std::vector<std::uint8_t> encode_vector_payload(std::uint64_t magic, std::span<const std::uint64_t> values) {
  return encode(magic, values);
}

std::vector<std::uint8_t> encode_vector_payload(std::uint64_t magic, std::span<const std::uint32_t> values) {
  return encode(magic, values);
}

template <class Word>
Result<std::vector<Word>> decode_vector_payload(std::uint64_t magic, std::span<const std::uint8_t> bytes,
                                                std::uint64_t expected_len, std::string_view label) {
  if (bytes.size() < sizeof magic || load_u64(bytes.data()) != magic) {
    return format_error(concat(label, " has an unsupported SimplePIR magic header"));
  }
  if (bytes.size() < kHeaderBytes) {
    return ended_while_reading(label, "PIR payload vector length");
  }
  const std::uint64_t count = load_u64(bytes.data() + sizeof magic);
  if (count != expected_len) {
    return format_error(concat(label, " vector length ", count, " does not match expected ", expected_len));
  }
  // Only as many elements as the bytes actually hold are ever allocated.
  const std::size_t available = (bytes.size() - kHeaderBytes) / sizeof(Word);
  if (available < count) {
    return ended_while_reading(label, "PIR payload value");
  }
  const std::size_t body_bytes = static_cast<std::size_t>(count) * sizeof(Word);
  const std::size_t trailing = bytes.size() - kHeaderBytes - body_bytes;
  if (trailing != 0) {
    return format_error(concat(label, " has ", trailing, " trailing bytes"));
  }
  std::vector<Word> values(static_cast<std::size_t>(count));
  if (count != 0) {
    std::memcpy(values.data(), bytes.data() + kHeaderBytes, body_bytes);
  }
  return values;
}

template Result<std::vector<std::uint64_t>> decode_vector_payload(std::uint64_t, std::span<const std::uint8_t>,
                                                                   std::uint64_t, std::string_view);
template Result<std::vector<std::uint32_t>> decode_vector_payload(std::uint64_t, std::span<const std::uint8_t>,
                                                                   std::uint64_t, std::string_view);

}  // namespace quorvex
