#include "embed/hashing_vectors.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace quorvex {
namespace {

// Each feature lands in the slot, with the sign, that Python's hashlib.blake2b gives it (digest_size 8,
// person b"quorvex-hash-v1"): counts add 1 + ln count, pairs weigh 0.7, stopwords and separators (the
// underscore too) vanish, a plural s goes from words of five characters or more (é is one character of two
// bytes, so "étés" keeps its s), and a word
// longer than a block and bytes that are not UTF-8 are hashed as they are.
TEST(HashingVectors, PutEachFeatureInItsSlot) {
  const std::string long_word(200, 'x');
  const std::string last = long_word + " caf\xc3\xa9s \xc3\xa9t\xc3\xa9s \xffss";
  const std::vector<std::string_view> texts = {"statements statement, the_statement", "", "the and of", last};
  const std::vector<std::map<std::size_t, double>> expected = {
      {{154, -(1 + std::log(3.0))}, {160, 0.7 * (1 + std::log(2.0))}},
      {},
      {},
      {{362, -1.0}, {164, 1.0}, {291, 1.0}, {195, 1.0}, {381, -0.7}, {37, -0.7}, {11, -0.7}},
  };
  std::vector<HashingRow> rows(texts.size());
  rows[1].fill(9.0);  // every value is written over
  write_hashing_vectors(texts, rows);
  for (std::size_t t = 0; t < texts.size(); ++t) {
    for (std::size_t i = 0; i < kHashingDimensions; ++i) {
      const auto slot = expected[t].find(i);
      EXPECT_EQ(rows[t][i], slot == expected[t].end() ? 0.0 : slot->second) << t << " " << i;
    }
  }
}

}  // namespace
}  // namespace quorvex
