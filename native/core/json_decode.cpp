#include "core/json_decode.hpp"

#include <limits>

namespace quorvex {

namespace {

template <class Unsigned>
JsonStatus decode_unsigned(const JsonValue& value, Unsigned& out, std::string_view width) {
  switch (value.type()) {
    case JsonValue::Type::Unsigned:
      if (value.unsigned_value() > std::numeric_limits<Unsigned>::max()) {
        return json_fault(concat("invalid value: integer `", value.unsigned_value(), "`, expected ", width),
                          value.end_offset());
      }
      out = static_cast<Unsigned>(value.unsigned_value());
      return {};
    case JsonValue::Type::Negative:
      if (value.negative_value() == 0) {  // "-0"
        out = 0;
        return {};
      }
      return json_fault(concat("invalid value: integer `", value.negative_value(), "`, expected ", width),
                        value.end_offset());
    default:
      return json_fault(concat("invalid type: ", value.describe(), ", expected ", width), value.end_offset());
  }
}

}  // namespace

JsonStatus decode_json(const JsonValue& value, std::string& out) {
  if (value.type() != JsonValue::Type::String) {
    return json_fault(concat("invalid type: ", value.describe(), ", expected a string"), value.end_offset());
  }
  out = value.text();
  return {};
}

JsonStatus decode_json(const JsonValue& value, bool& out) {
  if (value.type() != JsonValue::Type::Boolean) {
    return json_fault(concat("invalid type: ", value.describe(), ", expected a boolean"), value.end_offset());
  }
  out = value.boolean();
  return {};
}

JsonStatus decode_json(const JsonValue& value, std::uint64_t& out) { return decode_unsigned(value, out, "u64"); }

JsonStatus decode_json(const JsonValue& value, std::uint32_t& out) { return decode_unsigned(value, out, "u32"); }

JsonStatus decode_json(const JsonValue& value, nlohmann::json& out) {
  // Depth is bounded by the parser (kJsonMaxDepth), so recursion is safe.
  switch (value.type()) {
    case JsonValue::Type::Null: out = nullptr; break;
    case JsonValue::Type::Boolean: out = value.boolean(); break;
    case JsonValue::Type::Unsigned: out = value.unsigned_value(); break;
    case JsonValue::Type::Negative: out = value.negative_value(); break;
    case JsonValue::Type::Float: out = value.float_value(); break;
    case JsonValue::Type::String: out = std::string(value.text()); break;
    case JsonValue::Type::Array:
      out = nlohmann::json::array();
      out.get_ref<nlohmann::json::array_t&>().reserve(value.size());
      for (const JsonValue& item : value.items()) {
        nlohmann::json element;
        QV_TRY(decode_json(item, element));
        out.push_back(std::move(element));
      }
      break;
    case JsonValue::Type::Object:
      out = nlohmann::json::object();
      for (const JsonMember& member : value.members()) {
        nlohmann::json element;
        QV_TRY(decode_json(member.value, element));
        out[std::string(member.key)] = std::move(element);
      }
      break;
  }
  return {};
}

}  // namespace quorvex
