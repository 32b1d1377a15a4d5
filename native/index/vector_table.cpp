#include "index/vector_table.hpp"

#include <bit>
#include <cstring>

#include "core/text.hpp"
#include "index/finite_values.hpp"

namespace quorvex {

namespace {

constexpr const char* kTableRowLabel = "vector table row";

Status require_dimensions(std::uint64_t dimensions) {
  if (dimensions == 0) return format_error("vector table dimensions must be greater than zero");
  return {};
}

static_assert(std::endian::native == std::endian::little, "stored floats are copied as little-endian values");

float load_little_endian_float(const char* bytes) {
  float value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// An exponent of all ones: NaN or infinite.
std::uint32_t non_finite_bit(float value) {
  return static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(value) & 0x7F800000u) == 0x7F800000u);
}

}  // namespace

// With dimensions 0 the table holds no values at all, whatever the row count.
// The values are left unwritten here: every factory writes all of them.
VectorTable::VectorTable(std::uint64_t dimensions, std::uint64_t row_count)
    : dimensions_(dimensions), row_count_(row_count), values_(dimensions == 0 ? 0 : row_count * dimensions) {}

Result<VectorTable> VectorTable::create(std::uint64_t dimensions, std::span<const std::vector<float>> rows) {
  QV_TRY(require_dimensions(dimensions));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (const auto d = quorvex::first_non_finite(rows[r])) {
      return std::unexpected(non_finite_error(kTableRowLabel, *d));
    }
    if (rows[r].size() != dimensions) {
      return format_error(
          concat("vector at row ", r, " has ", rows[r].size(), " dimensions, expected ", dimensions));
    }
  }
  VectorTable table(dimensions, rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t d = 0; d < dimensions; ++d) table.values_[table.position(r, d)] = rows[r][d];
  }
  return table;
}

Result<VectorTable> VectorTable::from_little_endian(std::uint64_t dimensions, std::uint64_t count,
                                                    std::span<const char> bytes) {
  VectorTable table(dimensions, count);
  table.fill_values(0, bytes.first(table.values_.size() * sizeof(float)));
  QV_TRY(table.validate());
  return table;
}

void VectorTable::fill_values(std::uint64_t first_value, std::span<const char> bytes) {
  if (bytes.empty()) return;
  std::uint64_t row = first_value / dimensions_;
  std::uint64_t d = first_value % dimensions_;
  const char* next = bytes.data();
  std::uint64_t left = bytes.size() / sizeof(float);
  const std::uint64_t block_values = dimensions_ * kBlockRows;
  while (left > 0) {
    if (d == 0 && row % kBlockRows == 0 && left >= block_values) {
      // A whole block of kBlockRows rows.
      fill_block<kBlockRows>(row / kBlockRows, next);
      next += block_values * sizeof(float);
      left -= block_values;
      row += kBlockRows;
      continue;
    }
    // The rest of this row (or of the bytes).
    const std::uint64_t take = std::min(dimensions_ - d, left);
    fill_row(row, d, take, next);
    next += take * sizeof(float);
    left -= take;
    d += take;
    if (d == dimensions_) {
      d = 0;
      ++row;
    }
  }
}

template <std::size_t Lanes>
void VectorTable::fill_block(std::size_t b, const char* bytes) {
  float* out = values_.data() + b * dimensions_ * kBlockRows;
  const std::size_t row_bytes = dimensions_ * sizeof(float);
  std::uint32_t non_finite = 0;
  // Written in order, read from the block's rows side by side.
  for (std::size_t d = 0; d < dimensions_; ++d) {
    for (std::size_t lane = 0; lane < Lanes; ++lane) {
      const float value = load_little_endian_float(bytes + lane * row_bytes + d * sizeof(float));
      out[d * Lanes + lane] = value;
      non_finite |= non_finite_bit(value);
    }
  }
  non_finite_ |= non_finite;
}

void VectorTable::fill_row(std::uint64_t row, std::uint64_t d, std::uint64_t count, const char* bytes) {
  // One lane of the row's block.
  const std::uint64_t b = row / kBlockRows;
  const std::uint64_t lanes = block_rows(b);
  float* out = values_.data() + b * dimensions_ * kBlockRows + row % kBlockRows;
  std::uint32_t non_finite = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    const float value = load_little_endian_float(bytes + k * sizeof(float));
    out[(d + k) * lanes] = value;
    non_finite |= non_finite_bit(value);
  }
  non_finite_ |= non_finite;
}

Status VectorTable::validate() const {
  QV_TRY(require_dimensions(dimensions_));
  if (all_finite()) return {};
  for (std::uint64_t r = 0; r < row_count_; ++r) {
    if (const auto d = first_non_finite(r)) return std::unexpected(non_finite_error(kTableRowLabel, *d));
  }
  return {};
}

std::vector<float> VectorTable::row(std::uint64_t row) const {
  std::vector<float> values(dimensions_);
  for (std::uint64_t d = 0; d < dimensions_; ++d) values[d] = value(row, d);
  return values;
}

std::optional<std::uint64_t> VectorTable::first_non_finite(std::uint64_t row) const {
  for (std::uint64_t d = 0; d < dimensions_; ++d) {
    if (!std::isfinite(value(row, d))) return d;
  }
  return std::nullopt;
}

}  // namespace quorvex
