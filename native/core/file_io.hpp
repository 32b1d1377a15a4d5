// Files read through the operating system; every failure is an Io error
// naming the path that was being opened or read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "core/error.hpp"
#include "core/sha256.hpp"

namespace quorvex {

// An open, read-only file descriptor, closed when the object dies.
class InputFile {
 public:
  static Result<InputFile> open(const std::filesystem::path& path);

  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // Reads up to buffer.size() bytes; 0 means end of file. Interrupted reads are
  // retried. While a digest runs, one call reads at most kDigestPieceBytes, so
  // the bytes are hashed while the processor's cache still holds them.
  Result<std::size_t> read_some(std::span<char> buffer);
  // Fills the buffer, or as much of it as the file holds: the bytes read.
  Result<std::size_t> read_up_to(std::span<char> buffer);
  // Fills the whole buffer; an end of file first is "failed to fill whole buffer".
  Status read_exact(std::span<char> buffer);
  // Reads the rest of the file without keeping it (digested, while a digest
  // runs): the number of bytes it held.
  Result<std::uint64_t> skip_to_end();
  // Reads everything that is left, stopping early once more than `keep_at_most`
  // bytes have arrived (what follows is then left unread).
  Result<std::string> read_to_end(std::uint64_t keep_at_most = UINT64_MAX);
  // Reads everything that is left; more than `limit` bytes is the Format error
  // "{path} is larger than {limit} bytes, the most this file may hold", after
  // reading no more than limit + 1 bytes.
  Result<std::string> read_at_most(std::uint64_t limit);

  // The size of the open file, for a regular file (nothing for a pipe, a
  // device, or when the size cannot be had). Taken from the descriptor, so it
  // is the size of the file being read even if its path now names another.
  std::optional<std::uint64_t> size_on_disk() const;

  // From here on every byte read is also fed to a SHA-256 digest and counted,
  // so a parser reading the file and its checksum see the same bytes.
  void start_digest();
  // Reads the rest of the file into the digest without keeping it, then
  // returns the digest and the number of bytes digested. Needs start_digest.
  Result<FileDigest> finish_digest();

  static constexpr std::size_t kDigestPieceBytes = std::size_t{256} << 10;

  const std::filesystem::path& path() const { return path_; }

 private:
  InputFile(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::filesystem::path path_;
  std::optional<Sha256> digest_;
  std::uint64_t digested_bytes_ = 0;
};

// The operating system would silently cut a path at its first NUL byte and
// name another file: such a path is an Io error instead.
Status check_path_has_no_nul(const std::filesystem::path& path);

// The whole contents of a file.
Result<std::string> read_file(const std::filesystem::path& path);

}  // namespace quorvex
