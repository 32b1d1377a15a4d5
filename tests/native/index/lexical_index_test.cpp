// The lexical side of a hybrid search: the terms of a text, the index file
// the publisher writes and the client reads back (its scores are BM25's, its
// damage refused), and the fusion of two rankings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "index/lexical_index.hpp"
#include "index/lexical_index_builder.hpp"
#include "index/rank_fusion.hpp"
#include "index/text_terms.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using testing::outcome;
using Terms = std::vector<std::string>;

TEST(TextTerms, WordsLoweredSplitStemmedAndCommonOnesDropped) {
  for (const auto& [text, terms] : std::vector<std::pair<std::string, Terms>>{
           {"How do I create an HTTP server?", {"create", "http", "server"}},
           {"http.createServer(port)", {"http", "createserver", "create", "server", "port"}},
           {"HTTPServer worker_threads utf8", {"httpserver", "http", "server", "worker_thread", "worker", "thread",
                                               "utf8", "utf", "8"}},
           {"queries classes processes goes us bus glass", {"query", "classe", "processe", "goe", "bus", "glass"}},
           {"café naïve x 7 __ a_b", {"café", "naïve", "7", "a_b"}},  // one ASCII letter dropped, digits kept
           {"", {}}}) {
    EXPECT_EQ(text_terms(text), terms) << text;
  }
}

// BM25 as the index defines it, computed from the texts' terms for a check.
std::vector<double> reference_scores(const std::vector<std::string>& texts, const std::string& question) {
  std::vector<Terms> rows;
  double total = 0;
  for (const std::string& text : texts) {
    rows.push_back(text_terms(text));
    total += static_cast<double>(rows.back().size());
  }
  const Terms words = text_terms(question);
  const std::set<std::string> asked(words.begin(), words.end());
  std::vector<double> scores(rows.size(), 0);
  const double n = static_cast<double>(rows.size()), average = total / n, k1 = 1.2, b = 0.75;
  for (const std::string& term : asked) {
    const double df = static_cast<double>(std::ranges::count_if(rows, [&](const Terms& row) {
      return std::ranges::find(row, term) != row.end();
    }));
    if (df == 0) continue;
    const double idf = std::log(1 + (n - df + 0.5) / (df + 0.5));
    for (std::size_t row = 0; row < rows.size(); ++row) {
      const double tf = static_cast<double>(std::ranges::count(rows[row], term));
      if (tf > 0) scores[row] += idf * tf * (k1 + 1) / (tf + k1 * (1 - b + b * static_cast<double>(rows[row].size()) / average));
    }
  }
  return scores;
}

const std::vector<std::string> kTexts = {
    "Event: 'exit' is emitted when the process is about to exit.", "process.exit([code]) ends the process.",
    "http.createServer([options]) returns a new server.", "A server listens on a port; the port is a number.",
    "Nothing relevant at all here."};

std::string written(const std::vector<std::string>& texts, const testing::TempDir& dir) {
  LexicalIndexBuilder builder;
  for (const std::string& text : texts) builder.add_row(text);
  EXPECT_EQ(outcome(builder.write(dir.path() / "lexical.bin")), "ok");
  std::ifstream in(dir.path() / "lexical.bin", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Result<LexicalIndex> read(const testing::TempDir& dir, const std::string& bytes) {
  InputFile file = InputFile::open(testing::write_bytes(dir.path() / "read.bin", bytes)).value();
  return LexicalIndex::read_from(file);
}

TEST(LexicalIndex, ScoresAreBm25OfTheWrittenTexts) {
  const testing::TempDir dir;
  const LexicalIndex index = read(dir, written(kTexts, dir)).value();
  for (const std::string question : {"How do I run code when the process exits?", "create an HTTP server on a port",
                                     "the", "unknown words only"}) {
    std::vector<float> scores(kTexts.size());
    index.score(question, scores);
    const std::vector<double> expected = reference_scores(kTexts, question);
    for (std::size_t row = 0; row < kTexts.size(); ++row) EXPECT_NEAR(scores[row], expected[row], 1e-5) << question;
  }
}

// Offsets into a file of kTexts: header fields, then the tables.
constexpr std::size_t kRows = 16, kTerms = 24, kPostings = 40, kK1 = 48, kFirstLength = 64;

TEST(LexicalIndex, DamageIsRefusedAndNothingIsAllocatedForWhatIsNotThere) {
  const testing::TempDir dir;
  const std::string good = written(kTexts, dir);
  const auto set_u64 = [&](std::size_t at, std::uint64_t value) {
    std::string bytes = good;
    std::memcpy(bytes.data() + at, &value, 8);
    return bytes;
  };
  const auto flipped = [&](std::size_t from_end) {
    std::string bytes = good;
    bytes[bytes.size() - from_end] = static_cast<char>(bytes[bytes.size() - from_end] ^ 0x40);
    return bytes;
  };
  const std::string path = (dir.path() / "read.bin").string();
  std::uint64_t postings = 0;  // the last frequency ends the file, the last posting's row precedes the frequencies
  std::memcpy(&postings, good.data() + kPostings, 8);
  std::string unsorted = good;
  const std::size_t terms = kFirstLength + 4 * kTexts.size() + 12 * (good[kTerms] & 0xFF);  // the term bytes
  std::swap(unsorted[terms], unsorted[terms + 1]);
  for (const auto& [bytes, error] : std::vector<std::pair<std::string, std::string>>{
           {good.substr(0, good.size() - 1), "I/O error for " + path + ": failed to fill whole buffer"},
           {good + "x", "format error: " + path + " has trailing bytes"},
           {"QVLEX002" + good.substr(8), "format error: " + path + " has an unsupported lexical index magic"},
           {set_u64(8, 2), "format error: " + path + " was made by analyzer version 2, not 1"},
           {set_u64(kPostings, std::uint64_t{1} << 62), "I/O error for " + path + ": failed to fill whole buffer"},
           {set_u64(kRows, 4), "format error: " + path + " has trailing bytes"},
           {set_u64(kK1, 0), "format error: " + path + " has BM25 parameters out of range (k1 must be in (0, 10], b "
                             "in [0, 1])"},
           {set_u64(kFirstLength, 99), "format error: " + path + " has a row length that is not the sum of its "
                                       "postings"},
           {unsorted, "format error: " + path + " has terms out of order"},
           {flipped(1), "format error: " + path + " has a row length that is not the sum of its postings"},
           {flipped(2 * postings + 1), "format error: " + path + " has a posting out of order or out of range"}}) {
    EXPECT_EQ(outcome(read(dir, bytes)), error);
  }
}

// The dense first stays first; a row neither ranking puts in its first two can come next.
TEST(RankFusion, KeepsTheDenseFirstAndFindsWhatNeitherRankingPutsInItsFirstTwo) {
  const auto rows = [](std::initializer_list<std::size_t> positions) {
    std::vector<RankedRow> ranked;
    for (const std::size_t row : positions) ranked.push_back({0.5f, 100 + row, row});
    return ranked;
  };
  for (const auto& [dense, lexical, top_k, fused] :
       std::vector<std::tuple<std::vector<RankedRow>, std::vector<RankedRow>, std::uint64_t, std::vector<std::size_t>>>{
           {rows({1, 2, 5}), rows({3, 4, 5}), 2, {1, 5}},  // 5 and 3 tie: the dense ranking decides
           {rows({1, 2}), rows({3, 2}), 3, {1, 2, 3}},
           {rows({1, 2, 4}), rows({}), 2, {1, 2}},
           {rows({}), rows({5, 3}), 5, {5, 3}},
           {rows({1, 2, 3}), rows({3, 2, 1}), 3, {1, 3, 2}}}) {
    const SecretVector<std::size_t> got = fused_rows(dense, lexical, top_k);
    EXPECT_EQ(std::vector<std::size_t>(got.begin(), got.end()), fused);
  }
}

}  // namespace
}  // namespace quorvex
