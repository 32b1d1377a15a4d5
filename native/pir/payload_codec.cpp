#include "pir/payload_codec.hpp"

#include <array>

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

// Looks up the values of `count` characters; on an invalid one, reports the
// first such character.
std::expected<void, std::string> lookup(const char* chars, std::size_t count, std::uint8_t* values) {
  std::uint8_t any_invalid = 0;
  for (std::size_t k = 0; k < count; ++k) {
    values[k] = kDecodeTable[static_cast<unsigned char>(chars[k])];
    any_invalid |= values[k];
  }
  if ((any_invalid & 0x80) != 0) {
    for (std::size_t k = 0; k < count; ++k) {
      if (values[k] == kInvalid) {
        return std::unexpected(invalid_character(static_cast<unsigned char>(chars[k])));
      }
    }
  }
  return {};
}

}  // namespace

std::string encode(std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  const std::size_t tail = n % 3;
  const std::size_t length = n / 3 * 4 + (tail == 0 ? 0 : tail + 1);
  std::string text;
  text.resize_and_overwrite(length, [&](char* out, std::size_t) {
    const std::uint8_t* in = bytes.data();
    const std::uint8_t* whole_end = in + (n - tail);
    for (; in != whole_end; in += 3, out += 4) {
      const std::uint32_t group = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
      out[0] = kAlphabet[group >> 18];
      out[1] = kAlphabet[(group >> 12) & 63];
      out[2] = kAlphabet[(group >> 6) & 63];
      out[3] = kAlphabet[group & 63];
    }
    if (tail == 1) {
      out[0] = kAlphabet[in[0] >> 2];
      out[1] = kAlphabet[(in[0] & 3) << 4];
    } else if (tail == 2) {
      out[0] = kAlphabet[in[0] >> 2];
      out[1] = kAlphabet[((in[0] & 3) << 4) | (in[1] >> 4)];
      out[2] = kAlphabet[(in[1] & 15) << 2];
    }
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
  const char* in = text.data();
  const char* whole_end = in + (length - tail);
  std::uint8_t v[4];
  for (; in != whole_end; in += 4, out += 3) {
    if (auto looked_up = lookup(in, 4, v); !looked_up) {
      return std::unexpected(std::move(looked_up).error());
    }
    out[0] = static_cast<std::uint8_t>((v[0] << 2) | (v[1] >> 4));
    out[1] = static_cast<std::uint8_t>((v[1] << 4) | (v[2] >> 2));
    out[2] = static_cast<std::uint8_t>((v[2] << 6) | v[3]);
  }
  if (tail != 0) {
    if (auto looked_up = lookup(in, tail, v); !looked_up) {
      return std::unexpected(std::move(looked_up).error());
    }
    out[0] = static_cast<std::uint8_t>((v[0] << 2) | (v[1] >> 4));
    if (tail == 3) {
      out[1] = static_cast<std::uint8_t>((v[1] << 4) | (v[2] >> 2));
    }
  }
  return bytes;
}

}  // namespace quorvex::payload_codec
