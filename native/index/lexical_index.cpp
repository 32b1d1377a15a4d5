#include "index/lexical_index.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "core/text.hpp"
#include "index/binary_reader.hpp"
#include "index/text_terms.hpp"

namespace quorvex {

namespace {

// A table of n values, read (`read` fills a span with the next bytes) into
// storage that is not zero-filled first.
template <class Read, class Value>
Status read_table(Read& read, std::uint64_t n, AlignedVector<Value>& out) {
  out.resize(static_cast<std::size_t>(n));
  return read(std::span(reinterpret_cast<char*>(out.data()), out.size() * sizeof(Value)));
}

// a * size + b, or no value when it overflows.
bool add_table(std::uint64_t& total, std::uint64_t n, std::uint64_t size) {
  std::uint64_t bytes = 0;
  return !__builtin_mul_overflow(n, size, &bytes) && !__builtin_add_overflow(total, bytes, &total);
}

}  // namespace

Result<LexicalIndex> LexicalIndex::read_from(InputFile& input) {
  static_assert(std::endian::native == std::endian::little, "tables are copied as little-endian values");
  BinaryReader file(input);
  const std::string path = display_path(file.path());
  const auto magic = QV_TRY(file.read_magic());
  if (std::string_view(magic.data(), magic.size()) != kLexicalIndexMagic) {
    return format_error(concat(path, " has an unsupported lexical index magic"));
  }
  const std::uint64_t version = QV_TRY(file.read_u64());
  if (version != kTextTermsVersion) {
    return format_error(concat(path, " was made by analyzer version ", version, ", not ", kTextTermsVersion));
  }
  const std::uint64_t rows = QV_TRY(file.read_u64()), terms = QV_TRY(file.read_u64());
  const std::uint64_t term_bytes = QV_TRY(file.read_u64()), postings = QV_TRY(file.read_u64());
  LexicalIndex index;
  index.k1_ = std::bit_cast<double>(QV_TRY(file.read_u64()));
  index.b_ = std::bit_cast<double>(QV_TRY(file.read_u64()));
  std::uint64_t size = term_bytes;
  // Counts whose tables cannot fit in 2^64 bytes cannot be present: reading then runs into the end of the file.
  if (!add_table(size, rows, 4) || !add_table(size, terms, 12) || !add_table(size, postings, 6)) size = UINT64_MAX;
  // Where the file on disk holds every table, each is read straight into place; otherwise the bytes
  // are read as they arrive (memory grows only with them) and the tables copied from them.
  std::vector<char> payload;
  std::size_t taken = 0;
  if (file.remaining_on_disk() < size) payload = QV_TRY(file.read_payload(size));
  const auto read = [&](std::span<char> out) -> Status {
    if (payload.empty()) return file.read_into(out);
    std::copy_n(payload.data() + taken, out.size(), out.data());
    taken += out.size();
    return {};
  };
  QV_TRY(read_table(read, rows, index.row_lengths_));
  QV_TRY(read_table(read, terms, index.posting_ends_));
  QV_TRY(read_table(read, terms, index.text_ends_));
  QV_TRY(read_table(read, term_bytes, index.term_bytes_));
  QV_TRY(read_table(read, postings, index.posting_rows_));
  QV_TRY(read_table(read, postings, index.frequencies_));
  QV_TRY(file.expect_end());
  QV_TRY(index.validate(path));
  double total = 0;
  for (const std::uint32_t length : index.row_lengths_) total += length;
  const double average = rows == 0 ? 0 : total / static_cast<double>(rows);
  index.length_factors_.resize(index.row_lengths_.size());
  for (std::size_t row = 0; row < index.row_lengths_.size(); ++row) {
    const double share = average > 0 ? index.row_lengths_[row] / average : 0;
    index.length_factors_[row] = static_cast<float>(index.k1_ * (1 - index.b_ + index.b_ * share));
  }
  return index;
}

Status LexicalIndex::validate(const std::string& path) const {
  if (!(k1_ > 0 && k1_ <= 10) || !(b_ >= 0 && b_ <= 1)) {
    return format_error(concat(path, " has BM25 parameters out of range (k1 must be in (0, 10], b in [0, 1])"));
  }
  std::vector<std::uint64_t> lengths(row_lengths_.size(), 0);
  std::uint64_t posting = 0, text = 0;
  for (std::size_t term = 0; term < posting_ends_.size(); ++term) {
    if (posting_ends_[term] < posting || posting_ends_[term] > posting_rows_.size() || text_ends_[term] <= text ||
        text_ends_[term] > term_bytes_.size()) {
      return format_error(concat(path, " has a term table out of order"));
    }
    const std::string_view current(term_bytes_.data() + text, text_ends_[term] - text);
    if (term > 0) {
      const std::uint32_t before = term > 1 ? text_ends_[term - 2] : 0;
      if (std::string_view(term_bytes_.data() + before, text - before) >= current) {
        return format_error(concat(path, " has terms out of order"));
      }
    }
    for (std::uint64_t p = posting; p < posting_ends_[term]; ++p) {
      if (posting_rows_[p] >= row_lengths_.size() || (p > posting && posting_rows_[p] <= posting_rows_[p - 1]) ||
          frequencies_[p] == 0) {
        return format_error(concat(path, " has a posting out of order or out of range"));
      }
      lengths[posting_rows_[p]] += frequencies_[p];
    }
    posting = posting_ends_[term];
    text = text_ends_[term];
  }
  if (posting != posting_rows_.size() || text != term_bytes_.size()) {
    return format_error(concat(path, " has postings or term bytes that no term holds"));
  }
  if (!std::ranges::equal(lengths, row_lengths_)) {
    return format_error(concat(path, " has a row length that is not the sum of its postings"));
  }
  return {};
}

std::size_t LexicalIndex::find(std::string_view term) const {
  std::size_t low = 0, high = text_ends_.size();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    const std::uint32_t start = middle > 0 ? text_ends_[middle - 1] : 0;
    const std::string_view candidate(term_bytes_.data() + start, text_ends_[middle] - start);
    if (candidate == term) return middle;
    if (candidate < term) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return text_ends_.size();
}

void LexicalIndex::score(std::string_view question, std::span<float> out) const {
  std::ranges::fill(out, 0.0f);
  std::vector<std::string> terms = text_terms(question);
  std::ranges::sort(terms);
  terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
  const auto rows = static_cast<double>(row_lengths_.size());
  for (const std::string& term : terms) {
    const std::size_t found = find(term);
    if (found == text_ends_.size()) continue;
    const std::uint64_t first = found > 0 ? posting_ends_[found - 1] : 0;
    const auto df = static_cast<double>(posting_ends_[found] - first);
    const auto idf = static_cast<float>(std::log(1 + (rows - df + 0.5) / (df + 0.5)) * (k1_ + 1));
    for (std::uint64_t p = first; p < posting_ends_[found]; ++p) {
      const std::uint32_t row = posting_rows_[p];
      const float tf = frequencies_[p];
      out[row] += idf * tf / (tf + length_factors_[row]);
    }
  }
}

}  // namespace quorvex
