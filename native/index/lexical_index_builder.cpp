#include "index/lexical_index_builder.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <memory>
#include <numeric>

#include "core/text.hpp"
#include "index/lexical_index.hpp"
#include "index/text_terms.hpp"

namespace quorvex {

namespace {

constexpr std::uint32_t kMaxFrequency = std::numeric_limits<std::uint16_t>::max();

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Writes the values' little-endian bytes; false on a failed write.
template <class Value>
bool put(std::FILE* file, std::span<const Value> values) {
  static_assert(std::endian::native == std::endian::little, "tables are written as little-endian values");
  return values.empty() || std::fwrite(values.data(), sizeof(Value), values.size(), file) == values.size();
}

template <class Value>
bool put(std::FILE* file, const Value& value) {
  return put(file, std::span<const Value>(&value, 1));
}

}  // namespace

void LexicalIndexBuilder::add_row(std::string_view text) {
  const auto row = static_cast<std::uint32_t>(row_lengths_.size());
  std::uint32_t length = 0;
  for (std::string& term : text_terms(text)) {
    const auto [found, added] = term_ids_.try_emplace(std::move(term), static_cast<std::uint32_t>(terms_.size()));
    if (added) {
      terms_.push_back(found->first);
      postings_.emplace_back();
    }
    std::vector<Posting>& postings = postings_[found->second];
    if (postings.empty() || postings.back().row != row) postings.push_back({row, 0});
    if (postings.back().frequency < kMaxFrequency) {  // a frequency beyond a u16 counts as its largest value
      ++postings.back().frequency;
      ++length;
    }
  }
  row_lengths_.push_back(length);
}

Status LexicalIndexBuilder::write(const std::filesystem::path& path) const {
  std::vector<std::uint32_t> order(terms_.size());
  std::iota(order.begin(), order.end(), 0u);
  std::ranges::sort(order, [&](std::uint32_t a, std::uint32_t b) { return terms_[a] < terms_[b]; });
  std::vector<std::uint64_t> posting_ends;
  std::vector<std::uint32_t> text_ends;
  std::string term_bytes;
  std::uint64_t postings = 0;
  for (const std::uint32_t id : order) {
    postings += postings_[id].size();
    posting_ends.push_back(postings);
    term_bytes += terms_[id];
    text_ends.push_back(static_cast<std::uint32_t>(term_bytes.size()));
  }
  if (row_lengths_.size() > UINT32_MAX || term_bytes.size() > UINT32_MAX) {
    return format_error(concat("a lexical index holds at most 2^32 rows and 2^32 bytes of terms, not ",
                               row_lengths_.size(), " rows and ", term_bytes.size(), " bytes"));
  }
  errno = 0;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  const auto failed = [&] { return std::unexpected(QuorvexError::io(path, IoSource::os(errno > 0 ? errno : EIO))); };
  if (!file) return failed();
  const std::uint64_t header[] = {kTextTermsVersion, row_lengths_.size(), terms_.size(), term_bytes.size(), postings};
  bool written = std::fwrite(kLexicalIndexMagic.data(), 1, kLexicalIndexMagic.size(), file.get()) == 8 &&
                 put(file.get(), std::span<const std::uint64_t>(header)) && put(file.get(), kK1) &&
                 put(file.get(), kB) && put(file.get(), std::span<const std::uint32_t>(row_lengths_)) &&
                 put(file.get(), std::span<const std::uint64_t>(posting_ends)) &&
                 put(file.get(), std::span<const std::uint32_t>(text_ends)) &&
                 put(file.get(), std::span<const char>(term_bytes));
  // The postings go term by term from where they were collected: the rows of every term, then the frequencies.
  for (const std::uint32_t id : order) {
    for (const Posting& posting : postings_[id]) written = written && put(file.get(), posting.row);
  }
  for (const std::uint32_t id : order) {
    for (const Posting& posting : postings_[id]) written = written && put(file.get(), posting.frequency);
  }
  if (!written || std::fclose(file.release()) != 0) return failed();
  return {};
}

}  // namespace quorvex
