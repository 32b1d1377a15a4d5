// The server's lane data on disk, mapped read-only: `lane_rows` rows of
// `columns` little-endian u16 values, row after row, nothing else. The
// mapping is shared, so every process serving the same file holds one copy
// in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/error.hpp"

namespace quorvex {

class LaneFile {
 public:
  // Maps the file and computes its SHA-256 (which also reads it into memory).
  // A file of another size than lane_rows * columns * 2 bytes is refused.
  static Result<LaneFile> open(const std::filesystem::path& path, std::uint64_t lane_rows, std::uint64_t columns);

  LaneFile(LaneFile&& other) noexcept;
  LaneFile& operator=(LaneFile&& other) noexcept;
  LaneFile(const LaneFile&) = delete;
  LaneFile& operator=(const LaneFile&) = delete;
  ~LaneFile();

  const std::uint16_t* row(std::uint64_t r) const { return data_ + r * columns_; }
  std::uint64_t lane_rows() const { return lane_rows_; }
  std::uint64_t columns() const { return columns_; }
  // 64 lower-case hexadecimal digits.
  const std::string& sha256_hex() const { return sha256_hex_; }

 private:
  LaneFile(const std::uint16_t* data, std::uint64_t lane_rows, std::uint64_t columns)
      : data_(data), lane_rows_(lane_rows), columns_(columns) {}
  void unmap();

  const std::uint16_t* data_ = nullptr;
  std::uint64_t lane_rows_ = 0;
  std::uint64_t columns_ = 0;
  std::string sha256_hex_;
};

}  // namespace quorvex
