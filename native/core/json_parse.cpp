// parse_json: nlohmann's strict RFC 8259 parser drives a SAX handler that
// builds a JsonValue tree. nlohmann's parser keeps its own nesting on the
// heap; the handler refuses documents nested deeper than kJsonMaxDepth.
#include <cmath>
#include <iterator>
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

class TreeBuilder {
 public:
  using number_integer_t = nlohmann::json::number_integer_t;
  using number_unsigned_t = nlohmann::json::number_unsigned_t;
  using number_float_t = nlohmann::json::number_float_t;
  using string_t = nlohmann::json::string_t;
  using binary_t = nlohmann::json::binary_t;

  TreeBuilder(const char* begin, const char** frontier) : begin_(begin), frontier_(frontier) {}

  bool null() { return add(JsonValue{}); }
  bool boolean(bool value) {
    JsonValue v;
    v.type = JsonValue::Type::Boolean;
    v.boolean = value;
    return add(std::move(v));
  }
  bool number_integer(number_integer_t value) {
    JsonValue v;
    v.end_offset = number_end();
    v.type = JsonValue::Type::Negative;
    v.negative_value = value;
    return add(std::move(v));
  }
  bool number_unsigned(number_unsigned_t value) {
    JsonValue v;
    v.end_offset = number_end();
    v.type = JsonValue::Type::Unsigned;
    v.unsigned_value = value;
    return add(std::move(v));
  }
  bool number_float(number_float_t value, const string_t& literal) {
    if (!std::isfinite(value)) {
      return fail("number out of range");
    }
    JsonValue v;
    v.end_offset = number_end();
    v.type = JsonValue::Type::Float;
    v.float_value = value;
    v.text = literal;
    return add(std::move(v));
  }
  bool string(string_t& value) {
    JsonValue v;
    v.type = JsonValue::Type::String;
    v.text = std::move(value);
    return add(std::move(v));
  }
  bool binary(binary_t&) { return fail("binary values are not JSON"); }

  bool start_object(std::size_t) { return open(JsonValue::Type::Object); }
  bool key(string_t& name) {
    JsonMember member;
    member.key = std::move(name);
    member.key_end_offset = offset();
    open_.back()->members.push_back(std::move(member));
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(JsonValue::Type::Array); }
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

  JsonResult<JsonValue> finish(bool parsed) {
    if (!parsed || !fault_.message.empty()) {
      if (fault_.message.empty()) fault_ = JsonFault{"invalid JSON document", offset()};
      return std::unexpected(std::move(fault_));
    }
    return std::move(root_);
  }

 private:
  std::size_t offset() const { return static_cast<std::size_t>(*frontier_ - begin_); }

  bool fail(std::string message) {
    fault_ = JsonFault{std::move(message), offset()};
    return false;
  }

  // Places a finished scalar (or a new container) where the document puts it.
  JsonValue* place(JsonValue&& value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    JsonValue& parent = *open_.back();
    if (parent.type == JsonValue::Type::Array) {
      parent.items.push_back(std::move(value));
      return &parent.items.back();
    }
    parent.members.back().value = std::move(value);
    return &parent.members.back().value;
  }

  // The lexer reads one character past a number to find its end; a number
  // always ends in a digit, so a non-digit just before the frontier is that
  // lookahead.
  std::size_t number_end() const {
    const std::size_t at = offset();
    return at > 0 && (begin_[at - 1] < '0' || begin_[at - 1] > '9') ? at - 1 : at;
  }

  bool add(JsonValue&& value) {
    if (value.end_offset == 0) value.end_offset = offset();
    place(std::move(value));
    return true;
  }

  bool open(JsonValue::Type type) {
    if (open_.size() >= kJsonMaxDepth) return fail("recursion limit exceeded");
    JsonValue container;
    container.type = type;
    open_.push_back(place(std::move(container)));
    return true;
  }

  bool close() {
    open_.back()->end_offset = offset();
    open_.pop_back();
    return true;
  }

  const char* begin_;
  const char** frontier_;
  JsonValue root_;
  std::vector<JsonValue*> open_;  // containers still open, innermost last
  JsonFault fault_;
};

}  // namespace

JsonResult<JsonValue> parse_json(std::string_view document) {
  // nlohmann's lexer takes a NUL byte for the end of input; valid JSON never
  // holds a raw NUL (inside strings it must be escaped), so refuse it here.
  if (const std::size_t nul = document.find('\0'); nul != std::string_view::npos) {
    return json_fault("syntax error while parsing value - invalid character NUL", nul + 1);
  }
  const char* frontier = document.data();
  TreeBuilder builder(document.data(), &frontier);
  const TrackingIterator first(document.data(), &frontier);
  const TrackingIterator last(document.data() + document.size(), &frontier);
  const bool parsed = nlohmann::json::sax_parse(first, last, &builder, nlohmann::json::input_format_t::json,
                                                /*strict=*/true, /*ignore_comments=*/false);
  return builder.finish(parsed);
}

}  // namespace quorvex
