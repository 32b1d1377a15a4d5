// Record readers over a parsed JSON document. A record type describes its fields
// once (a JsonRecord specialisation); one generic reader then handles every
// record: required fields, duplicate fields, unknown fields (ignored),
// integer widths, and optionally the array form of a record.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/json_value.hpp"
#include "core/text.hpp"

namespace quorvex {

// One field of a record: its JSON key and the member that receives its value.
template <class Record, class Member>
struct JsonField {
  std::string_view key;
  Member Record::*member;
  bool required;
};

template <class Record, class Member>
constexpr JsonField<Record, Member> field(std::string_view key, Member Record::*member) {
  return {key, member, true};
}

// A field that may be absent; the member then keeps its default value.
template <class Record, class Member>
constexpr JsonField<Record, Member> optional_field(std::string_view key, Member Record::*member) {
  return {key, member, false};
}

// Specialised by each record type with
//   static constexpr std::string_view name;   // the record's name in messages
//   static constexpr std::tuple fields;       // field(...) entries in field order
//   static constexpr bool array_form;         // optional: also read [v0, v1, ...]
template <class Record>
struct JsonRecord;

template <class T>
concept JsonRecordType = requires { JsonRecord<T>::fields; };

JsonStatus decode_json(const JsonValue& value, std::string& out);
JsonStatus decode_json(const JsonValue& value, bool& out);
JsonStatus decode_json(const JsonValue& value, std::uint64_t& out);
JsonStatus decode_json(const JsonValue& value, std::uint32_t& out);
// Any JSON value; object keys end up ordered, a later duplicate key wins.
JsonStatus decode_json(const JsonValue& value, nlohmann::json& out);
// A JSON object as a map; a later duplicate key replaces the earlier value.
template <class Value, class Compare>
JsonStatus decode_json(const JsonValue& value, std::map<std::string, Value, Compare>& out);
template <JsonRecordType Record>
JsonStatus decode_json(const JsonValue& value, Record& out);
// A JSON array, element by element.
template <class Element>
JsonStatus decode_json(const JsonValue& value, std::vector<Element>& out);

namespace detail {

template <class Tuple, class Visit>
constexpr void for_each_field(const Tuple& fields, Visit&& visit) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (visit(std::integral_constant<std::size_t, I>{}, std::get<I>(fields)), ...);
  }(std::make_index_sequence<std::tuple_size_v<Tuple>>{});
}

template <class Spec>
constexpr bool accepts_array_form() {
  if constexpr (requires { Spec::array_form; }) {
    return Spec::array_form;
  } else {
    return false;
  }
}

template <class Record>
JsonStatus decode_object(const JsonValue& value, Record& out) {
  using Spec = JsonRecord<Record>;
  constexpr std::size_t count = std::tuple_size_v<std::remove_cvref_t<decltype(Spec::fields)>>;
  std::array<bool, count> seen{};
  for (const JsonMember& member : value.members()) {
    JsonStatus status;
    for_each_field(Spec::fields, [&](auto index, const auto& f) {
      if (f.key != member.key) return;
      if (seen[index]) {
        status = json_fault(concat("duplicate field `", f.key, "`"), member.key_end_offset);
        return;
      }
      seen[index] = true;
      status = decode_json(member.value, out.*(f.member));
    });
    if (!status) return status;
  }
  JsonStatus status;
  for_each_field(Spec::fields, [&](auto index, const auto& f) {
    if (status && f.required && !seen[index]) {
      status = json_fault(concat("missing field `", f.key, "`"), value.end_offset());
    }
  });
  return status;
}

template <class Record>
JsonStatus decode_array(const JsonValue& value, Record& out) {
  using Spec = JsonRecord<Record>;
  constexpr std::size_t count = std::tuple_size_v<std::remove_cvref_t<decltype(Spec::fields)>>;
  const auto wrong_length = [&] {
    return json_fault(concat("invalid length ", value.size(), ", expected struct ", Spec::name, " with ", count,
                             " elements"),
                      value.end_offset());
  };
  if (value.size() > count) return wrong_length();
  JsonStatus status;
  auto item = value.items().begin();
  for_each_field(Spec::fields, [&](auto index, const auto& f) {
    if (!status) return;
    if (index < value.size()) {
      status = decode_json(*item++, out.*(f.member));
    } else if (f.required) {
      status = wrong_length();
    }
  });
  return status;
}

}  // namespace detail

template <class Value, class Compare>
JsonStatus decode_json(const JsonValue& value, std::map<std::string, Value, Compare>& out) {
  if (value.type() != JsonValue::Type::Object) {
    return json_fault(concat("invalid type: ", value.describe(), ", expected a map"), value.end_offset());
  }
  out.clear();
  for (const JsonMember& member : value.members()) {
    Value decoded{};
    QV_TRY(decode_json(member.value, decoded));
    out.insert_or_assign(std::string(member.key), std::move(decoded));
  }
  return {};
}

template <class Element>
JsonStatus decode_json(const JsonValue& value, std::vector<Element>& out) {
  if (value.type() != JsonValue::Type::Array) {
    return json_fault(concat("invalid type: ", value.describe(), ", expected a sequence"), value.end_offset());
  }
  out.clear();
  out.reserve(value.size());
  for (const JsonValue& item : value.items()) {
    Element decoded{};
    QV_TRY(decode_json(item, decoded));
    out.push_back(std::move(decoded));
  }
  return {};
}

template <JsonRecordType Record>
JsonStatus decode_json(const JsonValue& value, Record& out) {
  using Spec = JsonRecord<Record>;
  if (value.type() == JsonValue::Type::Object) {
    return detail::decode_object(value, out);
  }
  if constexpr (detail::accepts_array_form<Spec>()) {
    if (value.type() == JsonValue::Type::Array) {
      return detail::decode_array(value, out);
    }
  }
  return json_fault(concat("invalid type: ", value.describe(), ", expected struct ", Spec::name),
                    value.end_offset());
}

// Parses one document (only whitespace around it) into a value of type T.
template <class T>
std::expected<T, JsonError> read_json(std::string_view document) {
  const auto tree = parse_json(document);
  if (!tree) return std::unexpected(locate(tree.error(), document));
  T out{};
  auto status = decode_json(tree->root(), out);
  if (!status) return std::unexpected(locate(status.error(), document));
  return out;
}

}  // namespace quorvex
