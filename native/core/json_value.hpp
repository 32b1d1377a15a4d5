// A parsed JSON document as a small tree that keeps every object member in
// document order, duplicates included, with the byte offsets that error
// messages turn into line and column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace quorvex {

struct JsonMember;

struct JsonValue {
  enum class Type : std::uint8_t { Null, Boolean, Unsigned, Negative, Float, String, Array, Object };

  Type type = Type::Null;
  bool boolean = false;
  std::uint64_t unsigned_value = 0;  // Unsigned
  std::int64_t negative_value = 0;   // Negative: an integer below zero (or "-0")
  double float_value = 0;            // Float
  std::string text;                  // String contents; the literal text of a Float
  std::vector<JsonValue> items;      // Array elements
  std::vector<JsonMember> members;   // Object members, in document order
  std::size_t end_offset = 0;        // byte offset just past the value

  // How an error message names the value: `string "abc"`, `integer `7``, `map`...
  std::string describe() const;
};

struct JsonMember {
  std::string key;
  std::size_t key_end_offset = 0;
  JsonValue value;
};

// Containers may nest at most this deep; deeper documents are refused, which
// keeps every recursive walk over a tree bounded.
inline constexpr std::size_t kJsonMaxDepth = 128;

// A fault found while reading a document, at a byte offset of it.
struct JsonFault {
  std::string message;
  std::size_t offset = 0;
};

template <class T>
using JsonResult = std::expected<T, JsonFault>;
using JsonStatus = JsonResult<void>;

inline std::unexpected<JsonFault> json_fault(std::string message, std::size_t offset) {
  return std::unexpected(JsonFault{std::move(message), offset});
}

// Parses exactly one RFC 8259 document; only whitespace may surround it.
JsonResult<JsonValue> parse_json(std::string_view document);

// Turns a fault into an error with the 1-based line and column of its offset.
JsonError locate(const JsonFault& fault, std::string_view document);

}  // namespace quorvex
