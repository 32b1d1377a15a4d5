// Reads a UTF-8 text file line by line through a fixed buffer. Lines end at a
// line feed; a carriage return right before it goes with it; the last line
// needs no line feed.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/file_io.hpp"

namespace quorvex {

class LineReader {
 public:
  static constexpr std::size_t kBufferBytes = 32768;

  explicit LineReader(InputFile& file) : file_(file) {}

  // The next line without its line ending, or nothing at the end of the file;
  // valid until the next call (a line that lies in the buffer is not copied).
  // A line that is not valid UTF-8 is an Io error for the file.
  Result<std::optional<std::string_view>> next();

 private:
  // The line, its line ending dropped, once it is checked.
  Result<std::optional<std::string_view>> finish(std::string_view line, bool ended_by_line_feed) const;

  InputFile& file_;
  std::array<char, kBufferBytes> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::string spilled_;  // a line that runs past the end of the buffer, gathered piece by piece
};

}  // namespace quorvex
