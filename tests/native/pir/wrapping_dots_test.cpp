// The wrapping dot products equal the plain sums of products, modulo the word
// size, for any number of secrets (taken four at a time, then one by one) and
// rows of any width, the rows fetched ahead included.
#include "pir/wrapping_dots.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace quorvex {
namespace {

template <class Word>
void expect_plain_sums(std::size_t row_count, std::size_t width, std::size_t count) {
  std::mt19937_64 engine(row_count * 1000 + width * 10 + count);
  std::vector<Word> rows(row_count * width), secrets(count * width), out(row_count * count);
  for (Word& value : rows) value = static_cast<Word>(engine());
  for (Word& value : secrets) value = static_cast<Word>(engine());
  std::vector<const Word*> pointers(count);
  for (std::size_t k = 0; k < count; ++k) pointers[k] = secrets.data() + k * width;
  wrapping_dots(rows.data(), row_count, width, pointers.data(), count, out.data());
  for (std::size_t r = 0; r < row_count; ++r) {
    for (std::size_t k = 0; k < count; ++k) {
      Word sum = 0;
      for (std::size_t j = 0; j < width; ++j) sum += static_cast<Word>(rows[r * width + j] * secrets[k * width + j]);
      ASSERT_EQ(out[r * count + k], sum) << row_count << " rows of " << width << ", secret " << k << " of " << count;
    }
  }
}

TEST(WrappingDots, EqualPlainSumsForEveryCountOfSecrets) {
  for (const std::size_t count : {1, 3, 4, 5, 8, 9}) {
    for (const auto& [rows, width] : {std::pair<std::size_t, std::size_t>{1, 1}, {3, 17}, {5, 1408}}) {
      expect_plain_sums<std::uint32_t>(rows, width, count);
      expect_plain_sums<std::uint64_t>(rows, width, count);
    }
  }
}

}  // namespace
}  // namespace quorvex
