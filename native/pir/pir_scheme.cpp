#include "pir/pir_scheme.hpp"

#include "core/text.hpp"

namespace quorvex {

JsonStatus decode_json(const JsonValue& value, PirScheme& out) {
  if (value.type() != JsonValue::Type::String) {
    return json_fault(concat("invalid type: ", value.describe(), ", expected a PIR scheme name"), value.end_offset());
  }
  const std::optional<PirScheme> scheme = pir_scheme_named(value.text());
  if (!scheme) {
    return json_fault(concat("unknown variant `", value.text(), "`, expected `", kPirSchemeName, "` or `",
                             kBalancedSchemeName, "`"),
                      value.end_offset());
  }
  out = *scheme;
  return {};
}

}  // namespace quorvex
