#include "core/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

#include "core/text.hpp"

namespace quorvex {

namespace {

// What is left of a file after its parser is done is hashed in pieces of this size.
constexpr std::size_t kDrainPieceBytes = 16384;

}  // namespace

Status check_path_has_no_nul(const std::filesystem::path& path) {
  if (path.native().find('\0') != std::string::npos) {
    return std::unexpected(QuorvexError::io(path, IoSource::nul_in_path()));
  }
  return {};
}

Result<InputFile> InputFile::open(const std::filesystem::path& path) {
  QV_TRY(check_path_has_no_nul(path));
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return std::unexpected(QuorvexError::io(path, IoSource::os(errno)));
  }
  return InputFile(fd, path);
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      digest_(std::move(other.digest_)),
      digested_bytes_(other.digested_bytes_) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    digest_ = std::move(other.digest_);
    digested_bytes_ = other.digested_bytes_;
  }
  return *this;
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::size_t> InputFile::read_some(std::span<char> buffer) {
  if (digest_ && buffer.size() > kDigestPieceBytes) buffer = buffer.first(kDigestPieceBytes);
  while (true) {
    const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
    if (got >= 0) {
      if (digest_) {
        digest_->update(buffer.first(static_cast<std::size_t>(got)));
        digested_bytes_ += static_cast<std::uint64_t>(got);
      }
      return static_cast<std::size_t>(got);
    }
    if (errno != EINTR) return std::unexpected(QuorvexError::io(path_, IoSource::os(errno)));
  }
}

Result<std::size_t> InputFile::read_up_to(std::span<char> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const std::size_t got = QV_TRY(read_some(buffer.subspan(filled)));
    if (got == 0) break;
    filled += got;
  }
  return filled;
}

Status InputFile::read_exact(std::span<char> buffer) {
  if (QV_TRY(read_up_to(buffer)) != buffer.size()) {
    return std::unexpected(QuorvexError::io(path_, IoSource::unexpected_eof()));
  }
  return {};
}

Result<std::uint64_t> InputFile::skip_to_end() {
  std::array<char, kDrainPieceBytes> piece;
  std::uint64_t skipped = 0;
  while (const std::size_t got = QV_TRY(read_some(piece))) skipped += got;
  return skipped;
}

Result<std::string> InputFile::read_to_end(std::uint64_t keep_at_most) {
  constexpr std::size_t kPiece = 64 * 1024;
  std::string contents;
  // A regular file's size sets the room up front (one byte more, to meet the
  // end of the file), so its bytes are read into one buffer that never moves;
  // a file that grows meanwhile, or has no size, grows the buffer by pieces.
  // The room is read into as it is, never zero-filled first.
  if (const auto size = size_on_disk()) {
    contents.reserve(static_cast<std::size_t>(std::min(*size, keep_at_most)) + 1);
  }
  Status failed;
  while (contents.size() <= keep_at_most) {
    const std::size_t used = contents.size();
    const std::size_t room = contents.capacity() > used ? contents.capacity() - used : kPiece;
    std::size_t got = 0;
    contents.resize_and_overwrite(used + room, [&](char* data, std::size_t) {
      Result<std::size_t> read = read_up_to(std::span<char>(data + used, room));
      if (read) got = *read;
      else failed = std::unexpected(std::move(read).error());
      return used + got;
    });
    QV_TRY(std::move(failed));
    if (got < room) break;  // the end of the file
  }
  return contents;
}

Result<std::string> InputFile::read_at_most(std::uint64_t limit) {
  std::string contents = QV_TRY(read_to_end(limit));
  if (contents.size() > limit) {
    return format_error(concat(display_path(path_), " is larger than ", limit, " bytes, the most this file may hold"));
  }
  return contents;
}

std::optional<std::uint64_t> InputFile::size_on_disk() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

void InputFile::start_digest() {
  digest_.emplace();
  digested_bytes_ = 0;
}

Result<FileDigest> InputFile::finish_digest() {
  QV_TRY(skip_to_end());
  FileDigest result{digest_->finish(), digested_bytes_};
  digest_.reset();
  return result;
}

Result<std::string> read_file(const std::filesystem::path& path) {
  InputFile file = QV_TRY(InputFile::open(path));
  return file.read_to_end();
}

}  // namespace quorvex
