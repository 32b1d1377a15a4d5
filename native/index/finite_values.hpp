// The check shared by stored rows and queries: every value must be a finite
// number (neither NaN nor infinite).
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/text.hpp"

namespace quorvex {

// Position of the first NaN or infinite value, if any.
inline std::optional<std::size_t> first_non_finite(std::span<const float> values) {
  for (std::size_t d = 0; d < values.size(); ++d) {
    if (!std::isfinite(values[d])) return d;
  }
  return std::nullopt;
}

// "{label} has non-finite value at dimension {d}"
inline QuorvexError non_finite_error(std::string_view label, std::size_t dimension) {
  return QuorvexError::format(concat(label, " has non-finite value at dimension ", dimension));
}

}  // namespace quorvex
