#include "core/text.hpp"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

TEST(Text, ConcatWritesIntegersInPlainDecimal) {
  EXPECT_EQ(concat("a ", std::uint64_t{18446744073709551615u}, " b ", -3, ' ', std::uint32_t{0}), "a 18446744073709551615 b -3 0");
}

TEST(Text, TrimRemovesUnicodeWhitespaceAtBothEnds) {
  for (const auto& [input, trimmed] : std::vector<std::pair<std::string, std::string>>{
           {"", ""}, {" \t\r\n", ""}, {" 0.1.0", "0.1.0"},
           {"\xC2\xA0x\xE3\x80\x80", "x"},             // U+00A0, U+3000
           {"\xE2\x80\xA8 a b \xC2\x85", "a b"},       // U+2028, U+0085
           {"\xE2\x80\x8B", "\xE2\x80\x8B"},           // U+200B is not White_Space
           {"\xC3\xA9", "\xC3\xA9"}}) {
    EXPECT_EQ(trim_unicode_whitespace(input), trimmed);
  }
}

TEST(Text, Utf8ValidityAndLossyReplacement) {
  EXPECT_TRUE(is_valid_utf8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  for (const char* invalid : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {  // overlong, surrogate, too high, cut
    EXPECT_FALSE(is_valid_utf8(invalid)) << invalid;
  }
  // Each maximal invalid prefix becomes one U+FFFD.
  EXPECT_EQ(lossy_utf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(lossy_utf8("\xE2\x82" "c"), "\xEF\xBF\xBD" "c");
  EXPECT_EQ(lossy_utf8("\xF0\x9F\x98"), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace quorvex
