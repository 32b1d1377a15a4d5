#include "core/error.hpp"

#include <cstring>

#include "core/text.hpp"

namespace quorvex {

std::string IoSource::describe() const {
  switch (kind_) {
    case Kind::UnexpectedEof:
      return "failed to fill whole buffer";
    case Kind::InvalidUtf8:
      return "stream did not contain valid UTF-8";
    case Kind::NulInPath:
      return "file name contained an unexpected NUL byte";
    case Kind::Os:
      break;
  }
  char buffer[256];
  const char* text = ::strerror_r(os_error_, buffer, sizeof buffer);
  return concat(text, " (os error ", os_error_, ")");
}

std::string JsonError::describe() const {
  if (line == 0) {
    return message;
  }
  return concat(message, " at line ", line, " column ", column);
}

QuorvexError QuorvexError::io(const std::filesystem::path& path, IoSource source) {
  return QuorvexError(Io{display_path(path), source});
}

QuorvexError QuorvexError::json(const std::filesystem::path& path, JsonError source) {
  return QuorvexError(Json{display_path(path), std::move(source)});
}

QuorvexError QuorvexError::json_label(std::string label, JsonError source) {
  return QuorvexError(Json{std::move(label), std::move(source)});
}

QuorvexError QuorvexError::format(std::string message) {
  return QuorvexError(Format{std::move(message)});
}

QuorvexError QuorvexError::record_out_of_range(std::uint64_t record_id, std::uint64_t record_count) {
  return QuorvexError(RecordOutOfRange{record_id, record_count});
}

QuorvexError QuorvexError::missing_checksum(std::string path) {
  return QuorvexError(MissingChecksum{std::move(path)});
}

QuorvexError QuorvexError::checksum_mismatch(std::string path, std::string expected, std::string actual) {
  return QuorvexError(ChecksumMismatch{std::move(path), std::move(expected), std::move(actual)});
}

namespace {

struct Displayer {
  std::string operator()(const QuorvexError::Io& e) const {
    return concat("I/O error for ", e.path, ": ", e.source.describe());
  }
  std::string operator()(const QuorvexError::Json& e) const {
    return concat("JSON error for ", e.path, ": ", e.source.describe());
  }
  std::string operator()(const QuorvexError::Format& e) const { return "format error: " + e.message; }
  std::string operator()(const QuorvexError::RecordOutOfRange& e) const {
    return concat("record id ", e.record_id, " is out of range for ", e.record_count, " records");
  }
  std::string operator()(const QuorvexError::MissingChecksum& e) const {
    return "missing checksum entry for " + e.path;
  }
  std::string operator()(const QuorvexError::ChecksumMismatch& e) const {
    return concat("checksum mismatch for ", e.path, ": expected ", e.expected, ", got ", e.actual);
  }
};

}  // namespace

std::string QuorvexError::display() const { return std::visit(Displayer{}, payload_); }

}  // namespace quorvex
