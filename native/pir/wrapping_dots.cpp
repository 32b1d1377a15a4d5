#include "pir/wrapping_dots.hpp"

namespace quorvex {

namespace {

template <class Word>
[[gnu::always_inline]] inline void dots(const Word* rows, std::size_t row_count, std::size_t width,
                                        const Word* const* secrets, std::size_t count, Word* out) {
  for (std::size_t r = 0; r < row_count; ++r) {
    const Word* row = rows + r * width;
    for (std::size_t k = 0; k < count; ++k) {
      const Word* secret = secrets[k];
      Word dot = 0;
      for (std::size_t j = 0; j < width; ++j) dot += row[j] * secret[j];
      out[r * count + k] = dot;
    }
  }
}

}  // namespace

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
#define QUORVEX_CLONED __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define QUORVEX_CLONED
#endif

QUORVEX_CLONED void wrapping_dots(const std::uint64_t* rows, std::size_t row_count, std::size_t width,
                                  const std::uint64_t* const* secrets, std::size_t count, std::uint64_t* out) {
  dots(rows, row_count, width, secrets, count, out);
}

QUORVEX_CLONED void wrapping_dots(const std::uint32_t* rows, std::size_t row_count, std::size_t width,
                                  const std::uint32_t* const* secrets, std::size_t count, std::uint32_t* out) {
  dots(rows, row_count, width, secrets, count, out);
}

}  // namespace quorvex
