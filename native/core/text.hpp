// Small text helpers: message building, Unicode whitespace trimming, UTF-8
// checks and lossy display of paths.
#pragma once

#include <charconv>
#include <concepts>
#include <filesystem>
#include <string>
#include <string_view>

namespace quorvex {

namespace detail {
inline void append_part(std::string& out, std::string_view part) { out.append(part); }
inline void append_part(std::string& out, char part) { out.push_back(part); }
template <std::integral Integer>
  requires(!std::same_as<Integer, char> && !std::same_as<Integer, bool>)
void append_part(std::string& out, Integer value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end);
}
}  // namespace detail

// Concatenates text and integers (integers in plain decimal).
template <class... Parts>
std::string concat(const Parts&... parts) {
  std::string out;
  (detail::append_part(out, parts), ...);
  return out;
}

// Removes Unicode White_Space characters from both ends of valid UTF-8 text.
std::string_view trim_unicode_whitespace(std::string_view text);

// True when the text is empty after trimming Unicode whitespace.
inline bool is_blank(std::string_view text) { return trim_unicode_whitespace(text).empty(); }

bool is_valid_utf8(std::string_view bytes);

// The bytes with every invalid UTF-8 sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// A path written as the platform writes it, never failing on invalid UTF-8.
inline std::string display_path(const std::filesystem::path& path) { return lossy_utf8(path.native()); }

}  // namespace quorvex
