// Sequential reading of a little-endian binary index file: header fields, a
// payload whose length a header announced, and the check that the file ends
// there. Every failure names the file.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/file_io.hpp"

namespace quorvex {

class BinaryReader {
 public:
  // Reads from the file's current position (the start of a freshly opened file).
  explicit BinaryReader(InputFile& file) : file_(file) {}

  // Exactly 8 bytes; an early end of file is the "failed to fill whole buffer" Io error.
  Result<std::array<char, 8>> read_magic();
  Result<std::uint32_t> read_u32();
  Result<std::uint64_t> read_u64();

  // Exactly `size` bytes. Memory grows only with bytes that have arrived (the
  // first piece is bounded by the file's size on disk), so a header that
  // promises more than the file holds ends in the end-of-file error, never in
  // an allocation of the promised size.
  Result<std::vector<char>> read_payload(std::uint64_t size);

  // Exactly out.size() bytes; an early end of file is the end-of-file error.
  Status read_into(std::span<char> out);
  // Bytes the file holds on disk past what was read (0 when its size is unknown).
  std::uint64_t remaining_on_disk() const;

  // Probes for one more byte: "{path} has trailing bytes" if one arrives.
  Status expect_end();

  const std::filesystem::path& path() const { return file_.path(); }

 private:
  template <class Unsigned>
  Result<Unsigned> read_unsigned();

  InputFile& file_;
  std::uint64_t offset_ = 0;
};

}  // namespace quorvex
