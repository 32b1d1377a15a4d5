// LexicalIndex: the terms of every row of an index (text_terms.hpp) as
// postings, scored against a question with BM25 as Lucene computes it: for
// each distinct term t of the question that the index holds,
//   idf(t) · tf · (k1 + 1) / (tf + k1 · (1 − b + b · length / average length))
// with idf(t) = ln(1 + (N − df + 0.5) / (df + 0.5)), which, unlike the
// classic Robertson idf, is never negative.
//
// "index/lexical.bin", all little-endian:
//   0  magic "QVLEX001"
//   8  u64 analyzer version (kTextTermsVersion)
//  16  u64 row count N       24  u64 term count T
//  32  u64 term bytes B      40  u64 posting count P
//  48  f64 k1                56  f64 b
//  64  u32 x N   terms of each row (its length)
//      u64 x T   end of each term's postings (cumulative; the last is P)
//      u32 x T   end of each term's text in the term bytes (cumulative; the last is B)
//      B bytes   the terms, in ascending byte order, each once and none empty
//      u32 x P   the rows of each term's postings, ascending
//      u16 x P   how often the term occurs in that row (at least once)
// Nothing follows. A row's length is the sum of its postings' frequencies.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/aligned_allocator.hpp"
#include "core/error.hpp"
#include "core/file_io.hpp"

namespace quorvex {

inline constexpr std::string_view kLexicalIndexMagic = "QVLEX001";

class LexicalIndex {
 public:
  // Reads and checks a whole file (memory grows only with bytes that arrive).
  static Result<LexicalIndex> read_from(InputFile& file);

  // The score of every row (out has row_count() entries; 0 for a row that
  // holds none of the question's terms).
  void score(std::string_view question, std::span<float> out) const;

  std::uint64_t row_count() const { return row_lengths_.size(); }

 private:
  LexicalIndex() = default;
  Status validate(const std::string& path) const;
  // The index of a term, or term_count when the index does not hold it.
  std::size_t find(std::string_view term) const;

  double k1_ = 0;
  double b_ = 0;
  AlignedVector<std::uint32_t> row_lengths_;
  AlignedVector<std::uint64_t> posting_ends_;
  AlignedVector<std::uint32_t> text_ends_;
  AlignedVector<char> term_bytes_;
  AlignedVector<std::uint32_t> posting_rows_;
  AlignedVector<std::uint16_t> frequencies_;
  AlignedVector<float> length_factors_;  // k1 · (1 − b + b · length / average), per row
};

}  // namespace quorvex
