// The terms a text is searched by: the same for the publisher, which counts
// them into the lexical index, and for the client, which scores a question
// with them, so the two can never disagree.
//
// A word is a run of ASCII letters, digits and underscores and of the bytes of
// other characters (so "café" is one word). ASCII letters are lowered. A word
// of ASCII characters made of several parts (snake_case, camelCase, letters
// then digits) also gives its parts: "createServer" gives "createserver",
// "create" and "server". A term of one ASCII letter, and a common English
// word ("the", "how", ...), is dropped. A plural ending is taken off (the
// S-stemmer: "-ies" becomes "-y" but after e or a, else a final "s" is
// dropped but after u or s; words of more than three characters only).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex {

// The analyzer's version, written into every lexical index it made.
inline constexpr std::uint32_t kTextTermsVersion = 1;

// The terms of a text, in order, repeats included. Text that is not valid
// UTF-8 is read byte by byte like any other.
std::vector<std::string> text_terms(std::string_view text);

}  // namespace quorvex
