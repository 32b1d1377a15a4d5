#include "index/text_terms.hpp"

#include <algorithm>

namespace quorvex {

namespace {

// Words too common in questions and prose to tell passages apart, sorted.
constexpr std::string_view kCommonWords[] = {
    "a", "about", "an", "and", "are", "as", "at", "be", "but", "by", "can", "could", "do", "does", "for", "from",
    "has", "have", "how", "i", "if", "in", "into", "is", "it", "its", "me", "my", "of", "on", "or", "our",
    "should", "so", "than", "that", "the", "their", "then", "there", "these", "this", "to", "us", "was", "we",
    "what", "when", "where", "which", "who", "why", "will", "with", "would", "you", "your", "yours"};
static_assert(std::ranges::is_sorted(kCommonWords));

bool is_common(std::string_view term) { return std::ranges::binary_search(kCommonWords, term); }

bool is_word_byte(unsigned char c) {
  return c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string lowered(std::string_view word) {
  std::string out(word);
  for (char& c : out) {
    if (is_upper(c)) c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool ends_with(const std::string& word, std::string_view end) { return word.ends_with(end); }

// The S-stemmer, on words of more than three characters. Its middle rule
// ("-es" becomes "-e" but after a, e or o) is left out: it drops the final
// "s", and the words it excepts fall to the last rule, which drops it too.
std::string stemmed(std::string word) {
  if (word.size() <= 3) return word;
  if (ends_with(word, "ies") && !ends_with(word, "eies") && !ends_with(word, "aies")) {
    word.replace(word.size() - 3, 3, "y");
  } else if (ends_with(word, "s") && !ends_with(word, "us") && !ends_with(word, "ss")) {
    word.pop_back();
  }
  return word;
}

// The parts of an ASCII word: its underscore-separated segments cut into runs
// of capitals (a last capital before small letters starting the next part),
// capitalised or small words, and digits.
std::vector<std::string_view> parts_of(std::string_view word) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  while (i < word.size()) {
    const std::size_t start = i;
    if (word[i] == '_') {
      ++i;
      continue;
    }
    if (is_digit(word[i])) {
      while (i < word.size() && is_digit(word[i])) ++i;
    } else if (is_upper(word[i])) {
      while (i < word.size() && is_upper(word[i])) ++i;
      if (i < word.size() && is_lower(word[i])) {
        if (i - start > 1) {
          --i;  // the last capital opens the next part
        } else {
          while (i < word.size() && is_lower(word[i])) ++i;
        }
      }
    } else {
      while (i < word.size() && is_lower(word[i])) ++i;
    }
    parts.push_back(word.substr(start, i - start));
  }
  return parts;
}

void add_term(std::string term, std::vector<std::string>& terms) {
  const bool one_ascii_letter = term.size() == 1 && !is_digit(term[0]);
  if (one_ascii_letter || is_common(term)) return;
  terms.push_back(stemmed(std::move(term)));
}

}  // namespace

std::vector<std::string> text_terms(std::string_view text) {
  std::vector<std::string> terms;
  std::size_t i = 0;
  while (i < text.size()) {
    if (!is_word_byte(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    bool ascii = true;
    while (i < text.size() && is_word_byte(static_cast<unsigned char>(text[i]))) {
      ascii &= static_cast<unsigned char>(text[i]) < 0x80;
      ++i;
    }
    const std::string_view word = text.substr(start, i - start);
    if (word.find_first_not_of('_') == std::string_view::npos) continue;
    add_term(lowered(word), terms);
    if (!ascii) continue;
    const std::vector<std::string_view> parts = parts_of(word);
    if (parts.size() > 1) {
      for (const std::string_view part : parts) add_term(lowered(part), terms);
    }
  }
  return terms;
}

}  // namespace quorvex
