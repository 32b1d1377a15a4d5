#include "pir/payload_codec.hpp"

#include <array>
#include <cstring>

namespace quorvex::payload_codec {
namespace {

constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> table{};
  table.fill(kInvalid);
  for (std::size_t value = 0; value < kAlphabet.size(); ++value) {
    table[static_cast<unsigned char>(kAlphabet[value])] = static_cast<std::uint8_t>(value);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecodeTable = make_decode_table();

// The byte shown as the character with the same code point, UTF-8 encoded.
std::string invalid_character(unsigned char byte) {
  std::string message = "invalid payload character ";
  if (byte < 0x80) {
    message.push_back(static_cast<char>(byte));
  } else {
    message.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    message.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
  }
  return message;
}

// Two characters for every 12-bit value, as they lie in memory.
constexpr std::array<std::array<char, 2>, 4096> make_pair_table() {
  std::array<std::array<char, 2>, 4096> table{};
  for (std::size_t value = 0; value < table.size(); ++value) {
    table[value] = {kAlphabet[value >> 6], kAlphabet[value & 63]};
  }
  return table;
}

constexpr std::array<std::array<char, 2>, 4096> kPairTable = make_pair_table();

std::string first_invalid_character(std::string_view text) {
  for (char c : text) {
    if (kDecodeTable[static_cast<unsigned char>(c)] == kInvalid) {
      return invalid_character(static_cast<unsigned char>(c));
    }
  }
  return {};
}

}  // namespace

char* encode_into(std::span<const std::uint8_t> bytes, char* out) {
  const std::size_t n = bytes.size();
  const std::size_t tail = n % 3;
  const std::uint8_t* in = bytes.data();
  const std::uint8_t* whole_end = in + (n - tail);
  for (; in != whole_end; in += 3, out += 4) {
    const std::uint32_t group = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, kPairTable[group >> 12].data(), 2);
    std::memcpy(out + 2, kPairTable[group & 4095].data(), 2);
  }
  if (tail == 1) {
    *out++ = kAlphabet[in[0] >> 2];
    *out++ = kAlphabet[(in[0] & 3) << 4];
  } else if (tail == 2) {
    *out++ = kAlphabet[in[0] >> 2];
    *out++ = kAlphabet[((in[0] & 3) << 4) | (in[1] >> 4)];
    *out++ = kAlphabet[(in[1] & 15) << 2];
  }
  return out;
}

std::string encode(std::span<const std::uint8_t> bytes) {
  const std::size_t length = encoded_length(bytes.size());
  std::string text;
  text.resize_and_overwrite(length, [&](char* out, std::size_t) {
    encode_into(bytes, out);
    return length;
  });
  return text;
}

std::expected<std::vector<std::uint8_t>, std::string> decode(std::string_view text) {
  const std::size_t length = text.size();
  const std::size_t tail = length % 4;
  if (tail == 1) {
    return std::unexpected("invalid payload length");
  }
  std::vector<std::uint8_t> bytes(length / 4 * 3 + (tail == 0 ? 0 : tail - 1));
  std::uint8_t* out = bytes.data();
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* whole_end = in + (length - tail);
  // Invalid characters map to 0xFF; their high bit is collected here and the
  // first offender is looked for only once the pass is over.
  std::uint8_t invalid = 0;
  for (; in != whole_end; in += 4, out += 3) {
    const std::uint8_t a = kDecodeTable[in[0]];
    const std::uint8_t b = kDecodeTable[in[1]];
    const std::uint8_t c = kDecodeTable[in[2]];
    const std::uint8_t d = kDecodeTable[in[3]];
    invalid |= a | b | c | d;
    out[0] = static_cast<std::uint8_t>((a << 2) | (b >> 4));
    out[1] = static_cast<std::uint8_t>((b << 4) | (c >> 2));
    out[2] = static_cast<std::uint8_t>((c << 6) | d);
  }
  if (tail != 0) {
    const std::uint8_t a = kDecodeTable[in[0]];
    const std::uint8_t b = kDecodeTable[in[1]];
    const std::uint8_t c = tail == 3 ? kDecodeTable[in[2]] : 0;
    invalid |= a | b | c;
    out[0] = static_cast<std::uint8_t>((a << 2) | (b >> 4));
    if (tail == 3) {
      out[1] = static_cast<std::uint8_t>((b << 4) | (c >> 2));
    }
  }
  if ((invalid & 0x80) != 0) {
    return std::unexpected(first_invalid_character(text));
  }
  return bytes;
}

}  // namespace quorvex::payload_codec
