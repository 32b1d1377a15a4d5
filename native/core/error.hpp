// QuorvexError: the one error type below the Python boundary, and Result<T>.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <variant>

namespace quorvex {

// The cause of an I/O failure; its text is produced only when displayed.
class IoSource {
 public:
  static IoSource os(int error_number) { return IoSource(Kind::Os, error_number); }
  static IoSource unexpected_eof() { return IoSource(Kind::UnexpectedEof, 0); }
  static IoSource invalid_utf8() { return IoSource(Kind::InvalidUtf8, 0); }
  // A path holding a NUL byte, which no file name can contain.
  static IoSource nul_in_path() { return IoSource(Kind::NulInPath, 0); }

  // "No such file or directory (os error 2)", "failed to fill whole buffer", ...
  std::string describe() const;
  bool is_unexpected_eof() const { return kind_ == Kind::UnexpectedEof; }
  int os_error() const { return os_error_; }

 private:
  enum class Kind { Os, UnexpectedEof, InvalidUtf8, NulInPath };
  IoSource(Kind kind, int error_number) : kind_(kind), os_error_(error_number) {}
  Kind kind_;
  int os_error_;
};

// A JSON reader or writer fault with the 1-based position where it was found
// (line 0 when the fault has no position).
struct JsonError {
  std::string message;
  std::uint64_t line = 0;
  std::uint64_t column = 0;

  // "{message} at line {line} column {column}"
  std::string describe() const;
};

class QuorvexError {
 public:
  struct Io {
    std::string path;  // the path as the platform writes it, invalid UTF-8 replaced
    IoSource source;
  };
  struct Json {
    std::string path;  // a file path, or a label such as "batched-pir-response"
    JsonError source;
  };
  struct Format {
    std::string message;
  };
  struct RecordOutOfRange {
    std::uint64_t record_id;
    std::uint64_t record_count;
  };
  struct MissingChecksum {
    std::string path;
  };
  struct ChecksumMismatch {
    std::string path;
    std::string expected;
    std::string actual;
  };
  using Payload = std::variant<Io, Json, Format, RecordOutOfRange, MissingChecksum, ChecksumMismatch>;

  static QuorvexError io(const std::filesystem::path& path, IoSource source);
  static QuorvexError json(const std::filesystem::path& path, JsonError source);
  static QuorvexError json_label(std::string label, JsonError source);
  static QuorvexError format(std::string message);
  static QuorvexError record_out_of_range(std::uint64_t record_id, std::uint64_t record_count);
  static QuorvexError missing_checksum(std::string path);
  static QuorvexError checksum_mismatch(std::string path, std::string expected, std::string actual);

  const Payload& payload() const { return payload_; }
  template <class Variant>
  bool is() const { return std::holds_alternative<Variant>(payload_); }

  // The text the host application sees.
  std::string display() const;

 private:
  explicit QuorvexError(Payload payload) : payload_(std::move(payload)) {}
  Payload payload_;
};

template <class T>
using Result = std::expected<T, QuorvexError>;
using Status = Result<void>;

inline std::unexpected<QuorvexError> format_error(std::string message) {
  return std::unexpected(QuorvexError::format(std::move(message)));
}

}  // namespace quorvex

// Evaluates an std::expected; on error returns that error from the enclosing
// function, otherwise yields the value (nothing for expected<void>). Nested
// uses get distinct temporaries.
#define QV_TRY(...) QV_TRY_IMPL_(QV_CONCAT_(qv_try_result_, __COUNTER__), __VA_ARGS__)
#define QV_CONCAT_(a, b) QV_CONCAT_IMPL_(a, b)
#define QV_CONCAT_IMPL_(a, b) a##b
#define QV_TRY_IMPL_(result, ...)                            \
  ({                                                         \
    auto&& result = (__VA_ARGS__);                           \
    if (!result) {                                           \
      return std::unexpected(std::move(result).error());     \
    }                                                        \
    std::move(result).value();                               \
  })
