#include "pir/wrapping_dots.hpp"

#include "core/target_clones.hpp"

namespace quorvex {

namespace {

// Rows this many ahead are fetched while one is multiplied, so that reading
// a large table (the client hint) overlaps the products instead of taking
// turns with them.
constexpr std::size_t kAhead = 2;

// Secrets are taken four at a time: each element of a row is loaded once for
// the four products, and the four sums are independent chains.
template <class Word>
[[gnu::always_inline]] inline void dots(const Word* rows, std::size_t row_count, std::size_t width,
                                        const Word* const* secrets, std::size_t count, Word* out) {
  constexpr std::size_t kLine = 64 / sizeof(Word);
  for (std::size_t r = 0; r < row_count; ++r) {
    const Word* row = rows + r * width;
    if (r + kAhead < row_count) {
      for (std::size_t j = 0; j < width; j += kLine) __builtin_prefetch(row + kAhead * width + j);
    }
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
      const Word *s0 = secrets[k], *s1 = secrets[k + 1], *s2 = secrets[k + 2], *s3 = secrets[k + 3];
      Word d0 = 0, d1 = 0, d2 = 0, d3 = 0;
      for (std::size_t j = 0; j < width; ++j) {
        const Word value = row[j];
        d0 += value * s0[j];
        d1 += value * s1[j];
        d2 += value * s2[j];
        d3 += value * s3[j];
      }
      out[r * count + k] = d0;
      out[r * count + k + 1] = d1;
      out[r * count + k + 2] = d2;
      out[r * count + k + 3] = d3;
    }
    for (; k < count; ++k) {
      const Word* secret = secrets[k];
      Word dot = 0;
      for (std::size_t j = 0; j < width; ++j) dot += row[j] * secret[j];
      out[r * count + k] = dot;
    }
  }
}

}  // namespace

QUORVEX_CLONED void wrapping_dots(const std::uint64_t* rows, std::size_t row_count, std::size_t width,
                                  const std::uint64_t* const* secrets, std::size_t count, std::uint64_t* out) {
  dots(rows, row_count, width, secrets, count, out);
}

QUORVEX_CLONED void wrapping_dots(const std::uint32_t* rows, std::size_t row_count, std::size_t width,
                                  const std::uint32_t* const* secrets, std::size_t count, std::uint32_t* out) {
  dots(rows, row_count, width, secrets, count, out);
}

}  // namespace quorvex
