#include "server/lane_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <string_view>
#include <utility>

#include "core/file_io.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"

namespace quorvex {

static_assert(std::endian::native == std::endian::little, "lane files hold little-endian values");

namespace {

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

Result<LaneFile> LaneFile::open(const std::filesystem::path& path, std::uint64_t lane_rows, std::uint64_t columns) {
  QV_TRY(check_path_has_no_nul(path));
  const Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return std::unexpected(QuorvexError::io(path, IoSource::os(errno)));
  struct stat status {};
  if (::fstat(file.fd, &status) != 0) return std::unexpected(QuorvexError::io(path, IoSource::os(errno)));
  std::uint64_t values = 0, expected = 0;
  if (__builtin_mul_overflow(lane_rows, columns, &values) || __builtin_mul_overflow(values, std::uint64_t{2}, &expected)) {
    return format_error(concat("lane file ", path.string(), ": ", lane_rows, " rows of ", columns,
                               " lanes are too many to address"));
  }
  if (static_cast<std::uint64_t>(status.st_size) != expected || expected == 0) {
    return format_error(concat("lane file ", path.string(), " holds ", status.st_size, " bytes, expected ", expected,
                               " (", lane_rows, " rows of ", columns, " lanes)"));
  }
  void* mapped = ::mmap(nullptr, expected, PROT_READ, MAP_SHARED, file.fd, 0);
  if (mapped == MAP_FAILED) return std::unexpected(QuorvexError::io(path, IoSource::os(errno)));
  LaneFile lanes(static_cast<const std::uint16_t*>(mapped), lane_rows, columns);
  ::madvise(mapped, expected, MADV_SEQUENTIAL);
  lanes.sha256_hex_ = quorvex::sha256_hex(std::string_view(static_cast<const char*>(mapped), expected));
  ::madvise(mapped, expected, MADV_NORMAL);
  return lanes;
}

LaneFile::LaneFile(LaneFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      lane_rows_(other.lane_rows_),
      columns_(other.columns_),
      sha256_hex_(std::move(other.sha256_hex_)) {}

LaneFile& LaneFile::operator=(LaneFile&& other) noexcept {
  if (this != &other) {
    unmap();
    data_ = std::exchange(other.data_, nullptr);
    lane_rows_ = other.lane_rows_;
    columns_ = other.columns_;
    sha256_hex_ = std::move(other.sha256_hex_);
  }
  return *this;
}

LaneFile::~LaneFile() { unmap(); }

void LaneFile::unmap() {
  if (data_ != nullptr) ::munmap(const_cast<std::uint16_t*>(data_), lane_rows_ * columns_ * 2);
  data_ = nullptr;
}

}  // namespace quorvex
