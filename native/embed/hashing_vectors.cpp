#include "embed/hashing_vectors.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/blake2b.hpp"

namespace quorvex {

namespace {

constexpr double kPairWeight = 0.7;
constexpr Blake2bPerson kPerson = {'q', 'u', 'o', 'r', 'v', 'e', 'x', '-', 'h', 'a', 's', 'h', '-', 'v', '1', 0};

// A word of at most eight bytes, none of them zero, as one integer: its bytes
// in order from the high end (the highest nonzero byte marks the length).
constexpr std::uint64_t packed(std::string_view word) {
  std::uint64_t value = 0;
  for (const char c : word) value = value << 8 | static_cast<unsigned char>(c);
  return value;
}

// Packed and sorted, for binary search; none is longer than five bytes.
constexpr auto kStopwords = [] {
  constexpr std::array<std::string_view, 63> kWords = {
      "a", "an", "and", "are", "as", "at", "be", "been", "but", "by", "can", "could", "did", "do", "does", "for",
      "from", "had", "has", "have", "how", "i", "if", "in", "into", "is", "it", "its", "may", "might", "not", "of",
      "on", "or", "so", "such", "than", "that", "the", "their", "them", "then", "there", "these", "they", "this",
      "those", "to", "was", "we", "were", "what", "when", "where", "which", "while", "who", "why", "will", "with",
      "would", "you", "your",
  };
  std::array<std::uint64_t, kWords.size()> values{};
  std::ranges::transform(kWords, values.begin(), packed);
  std::ranges::sort(values);
  return values;
}();

bool is_stopword(std::string_view word) {
  return word.size() <= 5 && std::ranges::binary_search(kStopwords, packed(word));
}

bool is_word_byte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x80 || (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
}

// A plural "s" off a word of more than four characters (UTF-8 lead bytes) that does not end in "ss".
std::string_view without_plural_s(std::string_view word) {
  if (word.size() <= 4 || !word.ends_with('s') || word.ends_with("ss")) return word;
  const auto characters =
      std::count_if(word.begin(), word.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U; });
  if (characters > 4) word.remove_suffix(1);
  return word;
}

// The words that count, in order, repeats included.
void content_words(std::string_view text, std::vector<std::string_view>& words) {
  words.clear();
  std::size_t k = 0;
  while (k < text.size()) {
    while (k < text.size() && !is_word_byte(text[k])) ++k;
    const std::size_t start = k;
    while (k < text.size() && is_word_byte(text[k])) ++k;
    const std::string_view word = text.substr(start, k - start);
    if (!word.empty() && !is_stopword(word)) words.push_back(without_plural_s(word));
  }
}

struct WordPair {
  std::size_t first = 0;  // ids of the two words
  std::size_t second = 0;
  bool operator==(const WordPair&) const = default;
};

struct WordPairHash {
  std::size_t operator()(const WordPair& pair) const noexcept {
    return static_cast<std::size_t>(pair.first * 0x9E3779B97F4A7C15U) ^ pair.second;
  }
};

// Distinct keys in the order of their first occurrence, each with its id (that
// position) and its count, in an open-addressed table that grows as it fills.
template <class Key, class Hash = std::hash<Key>>
class CountedKeys {
 public:
  CountedKeys() { reset(0); }
  // Forgets every key, with room for `expected` keys before the table grows.
  void reset(std::size_t expected) {
    keys_.clear();
    counts_.clear();
    table_.assign(std::bit_ceil(2 * expected + 16), Entry{});
  }
  std::size_t add(const Key& key) {
    if (2 * keys_.size() + 2 > table_.size()) grow();
    const std::size_t hash = Hash{}(key);
    std::size_t slot = home(hash);
    while (table_[slot].id_plus_one != 0 &&
           (table_[slot].hash != hash || keys_[table_[slot].id_plus_one - 1] != key)) {
      slot = (slot + 1) & (table_.size() - 1);
    }
    if (table_[slot].id_plus_one == 0) {
      keys_.push_back(key);
      counts_.push_back(0);
      table_[slot] = {hash, keys_.size()};
    }
    const std::size_t id = table_[slot].id_plus_one - 1;
    ++counts_[id];
    return id;
  }
  const std::vector<Key>& keys() const { return keys_; }
  const std::vector<std::uint64_t>& counts() const { return counts_; }

 private:
  struct Entry {
    std::size_t hash = 0;
    std::size_t id_plus_one = 0;  // 0: an empty slot
  };
  // Fibonacci hashing: the top bits of the product pick the slot.
  std::size_t home(std::size_t hash) const {
    const auto bits = static_cast<unsigned>(std::countr_zero(table_.size()));
    return static_cast<std::size_t>((std::uint64_t{hash} * 0x9E3779B97F4A7C15U) >> (64 - bits));
  }
  void grow() {
    const std::vector<Entry> old = std::exchange(table_, std::vector<Entry>(2 * table_.size()));
    for (const Entry& entry : old) {
      if (entry.id_plus_one == 0) continue;
      std::size_t slot = home(entry.hash);
      while (table_[slot].id_plus_one != 0) slot = (slot + 1) & (table_.size() - 1);
      table_[slot] = entry;
    }
  }

  std::vector<Key> keys_;
  std::vector<std::uint64_t> counts_;
  std::vector<Entry> table_;
};

// A batch's texts, one after the other. A word gets an id, and its hash, the
// first time the batch has it; pairs are hashed in each text that has them.
class BatchFeatures {
 public:
  void write(std::string_view text, HashingRow& row) {
    row.fill(0.0);
    content_words(text, words_);
    text_words_.reset(words_.size());
    text_pairs_.reset(words_.size());
    std::size_t previous = 0;
    for (std::size_t k = 0; k < words_.size(); ++k) {
      const std::size_t id = batch_words_.add(words_[k]);
      text_words_.add(id);
      if (k > 0) text_pairs_.add({previous, id});
      previous = id;
    }
    hash_new_words_and_pairs();
    for (std::size_t k = 0; k < text_words_.keys().size(); ++k) {
      add_feature(row, word_hashes_[text_words_.keys()[k]], 1.0, text_words_.counts()[k]);
    }
    for (std::size_t k = 0; k < pair_hashes_.size(); ++k) {
      add_feature(row, pair_hashes_[k], kPairWeight, text_pairs_.counts()[k]);
    }
  }

 private:
  // The words new to the batch and the text's pairs ("a b"), hashed together.
  void hash_new_words_and_pairs() {
    const std::vector<std::string_view>& words = batch_words_.keys();
    messages_.assign(words.begin() + static_cast<std::ptrdiff_t>(word_hashes_.size()), words.end());
    pair_text_.clear();
    for (const WordPair& pair : text_pairs_.keys()) {
      pair_text_.append(words[pair.first]).append(1, ' ').append(words[pair.second]);
    }
    std::size_t offset = 0;
    for (const WordPair& pair : text_pairs_.keys()) {
      const std::size_t length = words[pair.first].size() + 1 + words[pair.second].size();
      messages_.push_back(std::string_view(pair_text_).substr(offset, length));
      offset += length;
    }
    const std::vector<std::uint64_t> hashes = blake2b_u64s(messages_, kPerson);
    const auto first_pair = hashes.begin() + static_cast<std::ptrdiff_t>(words.size() - word_hashes_.size());
    word_hashes_.insert(word_hashes_.end(), hashes.begin(), first_pair);
    pair_hashes_.assign(first_pair, hashes.end());
  }

  // The hash picks the dimension (modulo 384) and, by its top bit, the sign.
  static void add_feature(HashingRow& row, std::uint64_t hash, double weight, std::uint64_t count) {
    const double sign = (hash >> 63) != 0 ? 1.0 : -1.0;
    // ln 1 is exactly 0, so a feature seen once adds sign * weight * 1.0 without calling log.
    const double growth = count == 1 ? 1.0 : 1.0 + std::log(static_cast<double>(count));
    row[hash % kHashingDimensions] += sign * weight * growth;
  }

  CountedKeys<std::string_view> batch_words_;  // ids of the batch's words
  std::vector<std::uint64_t> word_hashes_;      // by id
  std::vector<std::string_view> words_;         // of the current text, in order
  CountedKeys<std::size_t> text_words_;         // the current text's word ids
  CountedKeys<WordPair, WordPairHash> text_pairs_;
  std::string pair_text_;
  std::vector<std::string_view> messages_;
  std::vector<std::uint64_t> pair_hashes_;
};

}  // namespace

void write_hashing_vectors(std::span<const std::string_view> texts, std::span<HashingRow> rows) {
  BatchFeatures features;
  for (std::size_t k = 0; k < std::min(texts.size(), rows.size()); ++k) features.write(texts[k], rows[k]);
}

}  // namespace quorvex
