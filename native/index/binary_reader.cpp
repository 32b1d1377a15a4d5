#include "index/binary_reader.hpp"

#include <algorithm>
#include <span>

#include "core/text.hpp"

namespace quorvex {

namespace {

// Payloads are first read in a piece of at least this size, however small the file claims to be.
constexpr std::uint64_t kMinimumPiece = 1 << 20;

}  // namespace

Result<std::array<char, 8>> BinaryReader::read_magic() {
  std::array<char, 8> magic{};
  QV_TRY(file_.read_exact(magic));
  offset_ += magic.size();
  return magic;
}

template <class Unsigned>
Result<Unsigned> BinaryReader::read_unsigned() {
  std::array<char, sizeof(Unsigned)> bytes{};
  QV_TRY(file_.read_exact(bytes));
  offset_ += bytes.size();
  Unsigned value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) {
    value = static_cast<Unsigned>((value << 8) | static_cast<unsigned char>(bytes[i]));
  }
  return value;
}

Result<std::uint32_t> BinaryReader::read_u32() { return read_unsigned<std::uint32_t>(); }
Result<std::uint64_t> BinaryReader::read_u64() { return read_unsigned<std::uint64_t>(); }

std::uint64_t BinaryReader::remaining_on_disk() const {
  const std::uint64_t on_disk = file_.size_on_disk().value_or(0);
  return on_disk > offset_ ? on_disk - offset_ : 0;
}

Status BinaryReader::read_into(std::span<char> out) {
  QV_TRY(file_.read_exact(out));
  offset_ += out.size();
  return {};
}

Result<std::vector<char>> BinaryReader::read_payload(std::uint64_t size) {
  // The size on disk only bounds the first allocation; the reads decide.
  const std::uint64_t left_on_disk = remaining_on_disk();

  std::vector<char> payload;
  std::uint64_t next_size = std::min(size, std::max(left_on_disk, kMinimumPiece));
  while (true) {
    const std::size_t filled = payload.size();
    payload.resize(static_cast<std::size_t>(next_size));
    QV_TRY(file_.read_exact(std::span<char>(payload.data() + filled, payload.size() - filled)));
    offset_ += payload.size() - filled;
    if (payload.size() == size) return payload;
    next_size = std::min(size, payload.size() + std::max<std::uint64_t>(payload.size(), kMinimumPiece));
  }
}

Status BinaryReader::expect_end() {
  char probe = 0;
  if (QV_TRY(file_.read_some(std::span<char>(&probe, 1))) != 0) {
    return format_error(concat(display_path(path()), " has trailing bytes"));
  }
  return {};
}

}  // namespace quorvex
