// A parsed JSON document, with every object member kept in document order,
// duplicates included, and the byte offsets that error messages turn into
// line and column.
//
// The values lie in document order on one flat tape: a value is one 24-byte
// node (a container's node records where its last descendant ends), and the
// text of strings and numbers sits in one shared buffer. A document therefore
// costs a bounded multiple of its own size whatever its shape (a `[0,0,...]`
// array of n values costs 24n bytes of nodes), and nothing walks it
// recursively to build or destroy it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace quorvex {

class JsonDocument;
class JsonValue;
struct JsonMember;

// The values that follow each other inside one container: an array's items
// or an object's members.
template <class Element>
class JsonRange {
 public:
  class iterator {
   public:
    using value_type = Element;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const JsonDocument* document, std::size_t index) : document_(document), index_(index) {}
    Element operator*() const;
    iterator& operator++();
    iterator operator++(int) {
      iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const iterator& other) const { return index_ == other.index_; }

   private:
    const JsonDocument* document_ = nullptr;
    std::size_t index_ = 0;
  };

  JsonRange(const JsonDocument* document, std::size_t first, std::size_t last)
      : document_(document), first_(first), last_(last) {}
  iterator begin() const { return iterator(document_, first_); }
  iterator end() const { return iterator(document_, last_); }

 private:
  const JsonDocument* document_;
  std::size_t first_;
  std::size_t last_;
};

// One value of a document: a small handle, valid while the document lives.
class JsonValue {
 public:
  enum class Type : std::uint8_t { Null, Boolean, Unsigned, Negative, Float, String, Array, Object };

  JsonValue(const JsonDocument* document, std::size_t index) : document_(document), index_(index) {}

  Type type() const;
  bool boolean() const;
  std::uint64_t unsigned_value() const;  // Unsigned
  std::int64_t negative_value() const;   // Negative: an integer below zero (or "-0")
  double float_value() const;            // Float
  std::string_view text() const;         // String contents; the literal text of a Float
  std::size_t end_offset() const;        // byte offset just past the value
  std::size_t size() const;              // Array elements, Object members

  JsonRange<JsonValue> items() const;     // Array elements, in order
  JsonRange<JsonMember> members() const;  // Object members, in document order

  // How an error message names the value: `string "abc"`, `integer `7``, `map`...
  std::string describe() const;

 private:
  const JsonDocument* document_;
  std::size_t index_;
};

struct JsonMember {
  std::string_view key;
  std::size_t key_end_offset;
  JsonValue value;
};

class JsonDocument {
 public:
  JsonDocument() = default;
  JsonDocument(JsonDocument&&) = default;
  JsonDocument& operator=(JsonDocument&&) = default;
  JsonDocument(const JsonDocument&) = delete;
  JsonDocument& operator=(const JsonDocument&) = delete;

  // Handles refer to the document by address: keep it in place while they live.
  JsonValue root() const { return JsonValue(this, 0); }

 private:
  friend class JsonValue;
  template <class Element>
  friend class JsonRange;
  friend class JsonTapeWriter;

  struct Node {
    // Boolean, Unsigned, Negative: the value's bits. String: offset of its
    // text. Float: offset of its value's 8 bytes, its literal right after.
    // Array, Object: index of the first node after the container.
    std::uint64_t word = 0;
    std::uint64_t end_offset = 0;
    // String, Float: text length. Array: items. Object: members.
    std::uint64_t size : 56 = 0;
    JsonValue::Type type : 8 = JsonValue::Type::Null;
  };
  static_assert(sizeof(Node) == 24);

  // The index of the node after value `index` and all its descendants.
  std::size_t after(std::size_t index) const {
    const Node& node = nodes_[index];
    return node.type == JsonValue::Type::Array || node.type == JsonValue::Type::Object ? node.word : index + 1;
  }

  // A deque grows in fixed blocks: no reallocation ever holds two copies.
  std::deque<Node> nodes_;
  std::string text_;
};

template <>
inline JsonValue JsonRange<JsonValue>::iterator::operator*() const {
  return JsonValue(document_, index_);
}
template <>
inline JsonRange<JsonValue>::iterator& JsonRange<JsonValue>::iterator::operator++() {
  index_ = document_->after(index_);
  return *this;
}
// A member is its key's String node followed by its value.
template <>
inline JsonMember JsonRange<JsonMember>::iterator::operator*() const {
  const JsonValue key(document_, index_);
  return JsonMember{key.text(), key.end_offset(), JsonValue(document_, index_ + 1)};
}
template <>
inline JsonRange<JsonMember>::iterator& JsonRange<JsonMember>::iterator::operator++() {
  index_ = document_->after(index_ + 1);
  return *this;
}

// Containers may nest at most this deep; deeper documents are refused, which
// keeps every recursive walk over a document bounded.
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
JsonResult<JsonDocument> parse_json(std::string_view document);

// Turns a fault into an error with the 1-based line and column of its offset.
JsonError locate(const JsonFault& fault, std::string_view document);

}  // namespace quorvex
