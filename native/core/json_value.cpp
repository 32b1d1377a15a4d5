#include "core/json_value.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/text.hpp"

namespace quorvex {

JsonValue::Type JsonValue::type() const { return document_->nodes_[index_].type; }
bool JsonValue::boolean() const { return document_->nodes_[index_].word != 0; }
std::uint64_t JsonValue::unsigned_value() const { return document_->nodes_[index_].word; }
std::int64_t JsonValue::negative_value() const { return std::bit_cast<std::int64_t>(document_->nodes_[index_].word); }
std::size_t JsonValue::end_offset() const { return document_->nodes_[index_].end_offset; }
std::size_t JsonValue::size() const { return document_->nodes_[index_].size; }

double JsonValue::float_value() const {
  double value;
  std::memcpy(&value, document_->text_.data() + document_->nodes_[index_].word, sizeof value);
  return value;
}

std::string_view JsonValue::text() const {
  const JsonDocument::Node& node = document_->nodes_[index_];
  if (node.type != Type::String && node.type != Type::Float) return {};
  const std::size_t at = node.word + (node.type == Type::Float ? sizeof(double) : 0);
  return std::string_view(document_->text_).substr(at, node.size);
}

JsonRange<JsonValue> JsonValue::items() const {
  if (type() != Type::Array) return JsonRange<JsonValue>(document_, 0, 0);
  return JsonRange<JsonValue>(document_, index_ + 1, document_->after(index_));
}

JsonRange<JsonMember> JsonValue::members() const {
  if (type() != Type::Object) return JsonRange<JsonMember>(document_, 0, 0);
  return JsonRange<JsonMember>(document_, index_ + 1, document_->after(index_));
}

std::string JsonValue::describe() const {
  switch (type()) {
    case Type::Null: return "null";
    case Type::Boolean: return boolean() ? "boolean `true`" : "boolean `false`";
    case Type::Unsigned: return concat("integer `", unsigned_value(), "`");
    case Type::Negative: return concat("integer `", negative_value(), "`");
    case Type::Float: return concat("floating point `", text(), "`");
    case Type::String: return concat("string \"", text(), "\"");
    case Type::Array: return "sequence";
    case Type::Object: return "map";
  }
  return "value";
}

JsonError locate(const JsonFault& fault, std::string_view document) {
  const std::size_t offset = std::min(fault.offset, document.size());
  const std::string_view before = document.substr(0, offset);
  const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_newline = before.rfind('\n');
  const std::size_t column = last_newline == std::string_view::npos ? offset : offset - last_newline - 1;
  return JsonError{fault.message, line, column};
}

}  // namespace quorvex
