#include "core/json_value.hpp"

#include <algorithm>

#include "core/text.hpp"

namespace quorvex {

std::string JsonValue::describe() const {
  switch (type) {
    case Type::Null: return "null";
    case Type::Boolean: return boolean ? "boolean `true`" : "boolean `false`";
    case Type::Unsigned: return concat("integer `", unsigned_value, "`");
    case Type::Negative: return concat("integer `", negative_value, "`");
    case Type::Float: return concat("floating point `", text, "`");
    case Type::String: return concat("string \"", text, "\"");
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
