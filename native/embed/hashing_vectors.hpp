// The vectors of the hashing embedder ("quorvex-hashing-words-pairs-384-v1")
// before their normalisation, which the Python package does with numpy's own
// norm so that the float32 rows stay what they have always been.
//
// A text arrives as the host prepared it: case-folded, with every character
// that is not a letter or digit replaced by a space where the text has any
// non-ASCII character (the host's Unicode tables decide those). So a word here
// is a run of ASCII letters and digits and of bytes of other characters.
// Common English function words are dropped, then a plural "s" is taken off a
// word of more than four characters that does not end in "ss". The features
// are the words and the pairs "a b" of neighbouring remaining words; each
// distinct feature, in the order of its first occurrence, adds
// sign * weight * (1 + ln count) to the slot its BLAKE2b hash picks (weight
// 1 for words, then 0.7 for pairs), in double precision.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace quorvex {

inline constexpr std::size_t kHashingDimensions = 384;
using HashingRow = std::array<double, kHashingDimensions>;

// Writes the vector of texts[k] over rows[k], for every text that has a row
// (callers pass as many rows as texts); a text without words gives zeros.
// Bytes that are not valid UTF-8 are read like any other non-ASCII byte.
void write_hashing_vectors(std::span<const std::string_view> texts, std::span<HashingRow> rows);

}  // namespace quorvex
