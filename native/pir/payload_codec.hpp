// The digit-free payload string: bytes written over a 64-character alphabet
// without decimal digits ("A"-"Z", "a"-"z", then "-_~.!*()[]{}"), four
// characters for every three bytes and no padding. No character of the
// alphabet needs escaping inside a JSON string.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex::payload_codec {

inline constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_~.!*()[]{}";

// 4 * floor(n / 3) characters, plus 2 or 3 for one or two remaining bytes.
std::string encode(std::span<const std::uint8_t> bytes);
// The length of encode(bytes) for n bytes.
constexpr std::size_t encoded_length(std::size_t n) { return n / 3 * 4 + (n % 3 == 0 ? 0 : n % 3 + 1); }
// Writes encode(bytes) at `out`; returns the end of what it wrote.
char* encode_into(std::span<const std::uint8_t> bytes, char* out);

// The bytes of a payload string, or "invalid payload length" (length mod 4 is
// 1, tested before any character) or "invalid payload character {c}" for the
// first byte outside the alphabet, shown as the character whose code point is
// that byte's value. Spare low bits of a final partial group are ignored.
std::expected<std::vector<std::uint8_t>, std::string> decode(std::string_view text);

}  // namespace quorvex::payload_codec
