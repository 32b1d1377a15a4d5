// A dense row-major matrix of unsigned 64-bit entries, stored contiguously.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvex {

class Matrix {
 public:
  // Invariants: at least one row, ncols > 0, every row ncols long. They are
  // guaranteed by the callers' validation, so a violation is an internal
  // fault and throws std::logic_error.
  static Matrix from_data(std::vector<std::vector<std::uint64_t>> rows);
  static Matrix from_row_major(std::size_t nrows, std::size_t ncols, std::vector<std::uint64_t> values);

  // Entries drawn uniformly from low..=high by ChaCha20Rng::seed_from_u64(seed)
  // (or a generator keyed by 32 OS-random bytes without a seed); entry (i, j)
  // is draw number i * ncols + j. The full range takes the raw 64-bit outputs.
  static Matrix new_random(std::size_t nrows, std::size_t ncols, std::uint64_t low, std::uint64_t high,
                           std::optional<std::uint64_t> seed);

  std::size_t nrows() const { return nrows_; }
  std::size_t ncols() const { return ncols_; }
  std::uint64_t at(std::size_t i, std::size_t j) const { return values_[i * ncols_ + j]; }
  std::span<const std::uint64_t> row(std::size_t i) const {
    return std::span(values_).subspan(i * ncols_, ncols_);
  }
  std::span<const std::uint64_t> values() const { return values_; }

  friend bool operator==(const Matrix&, const Matrix&) = default;

 private:
  Matrix(std::size_t nrows, std::size_t ncols, std::vector<std::uint64_t> values)
      : nrows_(nrows), ncols_(ncols), values_(std::move(values)) {}

  std::size_t nrows_;
  std::size_t ncols_;
  std::vector<std::uint64_t> values_;
};

}  // namespace quorvex
