#include "simplepir/matrix.hpp"

#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "simplepir/chacha20_rng.hpp"

namespace quorvex {
namespace {

// Checks the shape invariants and returns nrows * ncols.
std::size_t checked_size(std::size_t nrows, std::size_t ncols) {
  if (nrows == 0) {
    throw std::logic_error("assertion failed: nrows > 0");
  }
  if (ncols == 0) {
    throw std::logic_error("assertion failed: ncols > 0");
  }
  std::size_t size = 0;
  if (__builtin_mul_overflow(nrows, ncols, &size)) {
    throw std::length_error("matrix size overflows");
  }
  return size;
}

ChaCha20Rng make_generator(std::optional<std::uint64_t> seed) {
  if (seed) {
    return ChaCha20Rng::seed_from_u64(*seed);
  }
  std::array<std::uint8_t, 32> key{};
  if (::getentropy(key.data(), key.size()) != 0) {
    throw std::system_error(errno, std::generic_category(), "OS randomness unavailable");
  }
  return ChaCha20Rng::from_seed(key);
}

// A uniform draw from low..=high for a range of width `range` (not the full
// range): widening multiplication, rejecting the zone that would bias the
// result.
std::uint64_t sample_in_range(ChaCha20Rng& rng, std::uint64_t low, std::uint64_t range) {
  const std::uint64_t zone = ~std::uint64_t{0} - (std::uint64_t{0} - range) % range;
  while (true) {
    const unsigned __int128 product = static_cast<unsigned __int128>(rng.next_u64()) * range;
    if (static_cast<std::uint64_t>(product) <= zone) {
      return low + static_cast<std::uint64_t>(product >> 64);
    }
  }
}

}  // namespace

Matrix Matrix::from_data(std::vector<std::vector<std::uint64_t>> rows) {
  if (rows.empty()) {
    throw std::logic_error("assertion failed: nrows > 0");
  }
  const std::size_t ncols = rows.front().size();
  std::vector<std::uint64_t> values;
  values.reserve(checked_size(rows.size(), ncols));
  for (const auto& row : rows) {
    if (row.size() != ncols) {
      throw std::logic_error("assertion failed: every row has ncols entries");
    }
    values.insert(values.end(), row.begin(), row.end());
  }
  return Matrix(rows.size(), ncols, std::move(values));
}

Matrix Matrix::from_row_major(std::size_t nrows, std::size_t ncols, std::vector<std::uint64_t> values) {
  if (values.size() != checked_size(nrows, ncols)) {
    throw std::logic_error("assertion failed: values.size() == nrows * ncols");
  }
  return Matrix(nrows, ncols, std::move(values));
}

Matrix Matrix::new_random(std::size_t nrows, std::size_t ncols, std::uint64_t low, std::uint64_t high,
                          std::optional<std::uint64_t> seed) {
  ChaCha20Rng rng = make_generator(seed);
  if (high < low) {
    throw std::logic_error("Uniform::new_inclusive called with `low > high`");
  }
  std::vector<std::uint64_t> values(checked_size(nrows, ncols));
  const std::uint64_t range = high - low + 1;
  if (range == 0) {
    rng.fill_u64(values);
  } else {
    for (auto& value : values) {
      value = sample_in_range(rng, low, range);
    }
  }
  return Matrix(nrows, ncols, std::move(values));
}

}  // namespace quorvex
