#include "core/text.hpp"

#include <cstdint>
#include <cstring>

namespace quorvex {

namespace {

// Length of the well-formed UTF-8 sequence starting at `at`, or 0 when the
// bytes there are not one (overlong forms, surrogates and values above
// U+10FFFF are ill-formed). On failure `prefix` receives the length of the
// maximal valid prefix, at least 1: the bytes one replacement character stands for.
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t at, std::size_t* prefix = nullptr) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  std::size_t i = 1;
  for (; length != 0 && i < length && at + i < bytes.size(); ++i) {
    const unsigned char next = byte(at + i);
    if (i == 1 ? (next < low || next > high) : (next & 0xC0) != 0x80) break;
  }
  if (length != 0 && i == length) return length;
  if (prefix != nullptr) *prefix = i;
  return 0;
}

std::uint32_t decode_scalar(std::string_view bytes, std::size_t at, std::size_t length) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
  switch (length) {
    case 1: return byte(0);
    case 2: return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
    case 3: return ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    default: return ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
  }
}

bool is_unicode_whitespace(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
  // Leading side: walk forward scalar by scalar.
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t length = utf8_sequence_length(text, begin);
    if (length == 0 || !is_unicode_whitespace(decode_scalar(text, begin, length))) break;
    begin += length;
  }
  // Trailing side: find the start of the last scalar, step back while it is whitespace.
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80 && end - start < 4) {
      --start;
    }
    const std::size_t length = utf8_sequence_length(text, start);
    if (length != end - start || !is_unicode_whitespace(decode_scalar(text, start, length))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    // Eight ASCII bytes at a time, the common case.
    std::uint64_t word = 0;
    if (bytes.size() - at >= sizeof word) {
      std::memcpy(&word, bytes.data() + at, sizeof word);
      if ((word & 0x8080808080808080u) == 0) {
        at += sizeof word;
        continue;
      }
    }
    const std::size_t length = utf8_sequence_length(bytes, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t prefix = 0;
    const std::size_t length = utf8_sequence_length(bytes, at, &prefix);
    if (length != 0) {
      out.append(bytes.substr(at, length));
      at += length;
    } else {
      out.append("\xEF\xBF\xBD");
      at += prefix;
    }
  }
  return out;
}

}  // namespace quorvex
