#include "core/text.hpp"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

TEST(Text, ConcatWritesIntegersInPlainDecimal) {
  EXPECT_EQ(concat("a ", std::uint64_t{18446744073709551615u}, " b ", -3, ' ', std::uint32_t{0}),
            "a 18446744073709551615 b -3 0");
}

struct TrimCase {
  std::string input;
  std::string trimmed;
};

class Trim : public ::testing::TestWithParam<TrimCase> {};

TEST_P(Trim, RemovesUnicodeWhitespaceAtBothEnds) {
  EXPECT_EQ(trim_unicode_whitespace(GetParam().input), GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(Cases, Trim,
                         ::testing::Values(TrimCase{"", ""}, TrimCase{" \t\r\n", ""}, TrimCase{" 0.1.0", "0.1.0"},
                                           TrimCase{"\xC2\xA0x\xE3\x80\x80", "x"},      // U+00A0, U+3000
                                           TrimCase{"\xE2\x80\xA8 a b \xC2\x85", "a b"},  // U+2028, U+0085
                                           TrimCase{"\xE2\x80\x8B", "\xE2\x80\x8B"},      // U+200B is not White_Space
                                           TrimCase{"\xC3\xA9", "\xC3\xA9"}));

TEST(Text, Utf8ValidityFollowsRfc3629) {
  EXPECT_TRUE(is_valid_utf8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xE2\x82"));          // truncated
}

TEST(Text, LossyReplacesEachMaximalInvalidPrefixOnce) {
  EXPECT_EQ(lossy_utf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(lossy_utf8("\xE2\x82" "c"), "\xEF\xBF\xBD" "c");
  EXPECT_EQ(lossy_utf8("\xF0\x9F\x98"), "\xEF\xBF\xBD");
  EXPECT_EQ(lossy_utf8("ok"), "ok");
}

}  // namespace
}  // namespace quorvex
