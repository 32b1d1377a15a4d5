// LexicalIndexBuilder: the lexical index of an index's rows (lexical_index.hpp
// describes the file), built from their texts in row order by the same
// analyzer the client scores questions with.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/error.hpp"

namespace quorvex {

class LexicalIndexBuilder {
 public:
  // BM25's usual parameters (Lucene's defaults).
  static constexpr double kK1 = 1.2;
  static constexpr double kB = 0.75;

  // The text of the next row.
  void add_row(std::string_view text);
  // Writes the file; an I/O failure is an Io error for the path.
  Status write(const std::filesystem::path& path) const;

  std::uint64_t row_count() const { return row_lengths_.size(); }

 private:
  struct Posting {
    std::uint32_t row;
    std::uint16_t frequency;
  };

  std::unordered_map<std::string, std::uint32_t> term_ids_;
  std::vector<std::string> terms_;              // by term id
  std::vector<std::vector<Posting>> postings_;  // by term id, rows ascending
  std::vector<std::uint32_t> row_lengths_;
};

}  // namespace quorvex
