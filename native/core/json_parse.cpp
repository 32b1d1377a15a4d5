// parse_json: nlohmann's strict RFC 8259 parser drives a SAX handler that
// writes the values to a JsonDocument's tape. nlohmann's parser keeps its own
// nesting on the heap; the handler refuses documents nested deeper than
// kJsonMaxDepth.
#include <bit>
#include <cmath>
#include <iterator>
#include <vector>
#include <nlohmann/json.hpp>

#include "core/json_value.hpp"
#include "core/text.hpp"

namespace quorvex {

namespace {

// A character iterator that publishes how far the parser has read, so the
// handler can record where each value ends.
class TrackingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackingIterator(const char* at, const char** frontier) : at_(at), frontier_(frontier) {}
  reference operator*() const { return *at_; }
  TrackingIterator& operator++() {
    *frontier_ = ++at_;
    return *this;
  }
  TrackingIterator operator++(int) {
    TrackingIterator before = *this;
    ++*this;
    return before;
  }
  friend bool operator==(const TrackingIterator& a, const TrackingIterator& b) { return a.at_ == b.at_; }

 private:
  const char* at_;
  const char** frontier_;
};

}  // namespace

// The SAX handler: appends each value to the document's tape as the parser
// reports it.
class JsonTapeWriter {
 public:
  using number_integer_t = nlohmann::json::number_integer_t;
  using number_unsigned_t = nlohmann::json::number_unsigned_t;
  using number_float_t = nlohmann::json::number_float_t;
  using string_t = nlohmann::json::string_t;
  using binary_t = nlohmann::json::binary_t;
  using Type = JsonValue::Type;

  JsonTapeWriter(const char* begin, const char** frontier) : begin_(begin), frontier_(frontier) {}

  bool null() { return add(Type::Null, 0, offset()); }
  bool boolean(bool value) { return add(Type::Boolean, value ? 1 : 0, offset()); }
  bool number_integer(number_integer_t value) {
    return add(Type::Negative, std::bit_cast<std::uint64_t>(static_cast<std::int64_t>(value)), number_end());
  }
  bool number_unsigned(number_unsigned_t value) { return add(Type::Unsigned, value, number_end()); }
  bool number_float(number_float_t value, const string_t& literal) {
    if (!std::isfinite(value)) {
      return fail("number out of range");
    }
    const std::uint64_t at = document_.text_.size();
    const double stored = value;
    document_.text_.append(reinterpret_cast<const char*>(&stored), sizeof stored);
    document_.text_.append(literal);
    return add(Type::Float, at, number_end(), literal.size());
  }
  bool string(string_t& value) {
    count_in_parent();
    document_.nodes_.push_back(text_node(value, offset()));
    return true;
  }
  bool binary(binary_t&) { return fail("binary values are not JSON"); }

  bool start_object(std::size_t) { return open(Type::Object); }
  bool key(string_t& name) {
    ++document_.nodes_[open_.back()].size;
    document_.nodes_.push_back(text_node(name, offset()));
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Type::Array); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error) {
    // nlohmann's text reads "[json.exception.parse_error.N] parse error at
    // line L, column C: description"; keep the description, the position is
    // added in the common form later.
    std::string_view text = error.what();
    const std::size_t column = text.find("column ");
    const std::size_t colon = column == std::string_view::npos ? text.find(": ") : text.find(": ", column);
    if (colon != std::string_view::npos) text.remove_prefix(colon + 2);
    fault_ = JsonFault{lossy_utf8(text), position};
    return false;
  }

  JsonResult<JsonDocument> finish(bool parsed) {
    if (!parsed || !fault_.message.empty()) {
      if (fault_.message.empty()) fault_ = JsonFault{"invalid JSON document", offset()};
      return std::unexpected(std::move(fault_));
    }
    return std::move(document_);
  }

 private:
  using Node = JsonDocument::Node;

  std::size_t offset() const { return static_cast<std::size_t>(*frontier_ - begin_); }

  bool fail(std::string message) {
    fault_ = JsonFault{std::move(message), offset()};
    return false;
  }

  // The lexer reads one character past a number to find its end; a number
  // always ends in a digit, so a non-digit just before the frontier is that
  // lookahead.
  std::size_t number_end() const {
    const std::size_t at = offset();
    return at > 0 && (begin_[at - 1] < '0' || begin_[at - 1] > '9') ? at - 1 : at;
  }

  static Node node(Type type, std::uint64_t word, std::size_t end, std::uint64_t size = 0) {
    Node made;
    made.type = type;
    made.word = word;
    made.end_offset = end;
    // No text or container held in memory reaches 2^56 bytes or values.
    made.size = size & ((std::uint64_t{1} << 56) - 1);
    return made;
  }

  Node text_node(const string_t& text, std::size_t end) {
    const std::uint64_t at = document_.text_.size();
    document_.text_.append(text);
    return node(Type::String, at, end, text.size());
  }

  // A value counts as an item of the array it lies in; an object counted its
  // member at the key.
  void count_in_parent() {
    if (!open_.empty() && document_.nodes_[open_.back()].type == Type::Array) ++document_.nodes_[open_.back()].size;
  }

  bool add(Type type, std::uint64_t word, std::size_t end, std::uint64_t size = 0) {
    count_in_parent();
    document_.nodes_.push_back(node(type, word, end, size));
    return true;
  }

  bool open(Type type) {
    if (open_.size() >= kJsonMaxDepth) return fail("recursion limit exceeded");
    add(type, 0, 0);
    open_.push_back(document_.nodes_.size() - 1);
    return true;
  }

  bool close() {
    Node& container = document_.nodes_[open_.back()];
    container.word = document_.nodes_.size();
    container.end_offset = offset();
    open_.pop_back();
    return true;
  }

  const char* begin_;
  const char** frontier_;
  JsonDocument document_;
  std::vector<std::size_t> open_;  // tape indices of the containers still open, innermost last
  JsonFault fault_;
};

JsonResult<JsonDocument> parse_json(std::string_view document) {
  // nlohmann's lexer takes a NUL byte for the end of input; valid JSON never
  // holds a raw NUL (inside strings it must be escaped), so refuse it here.
  if (const std::size_t nul = document.find('\0'); nul != std::string_view::npos) {
    return json_fault("syntax error while parsing value - invalid character NUL", nul + 1);
  }
  const char* frontier = document.data();
  JsonTapeWriter builder(document.data(), &frontier);
  const TrackingIterator first(document.data(), &frontier);
  const TrackingIterator last(document.data() + document.size(), &frontier);
  const bool parsed = nlohmann::json::sax_parse(first, last, &builder, nlohmann::json::input_format_t::json,
                                                /*strict=*/true, /*ignore_comments=*/false);
  return builder.finish(parsed);
}

}  // namespace quorvex
