#include "pir/os_random.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "core/text.hpp"

namespace quorvex {

static_assert(std::endian::native == std::endian::little,
              "random bytes are read in place as little-endian values");

namespace {

constexpr std::size_t max_piece_bytes = 256;

}  // namespace

int os_entropy(void* buffer, std::size_t length) { return ::getentropy(buffer, length); }

std::string OsRandomError::describe() const {
  if (code <= 0) {
    return "errno: did not return a positive value";
  }
  if (const char* message = ::strerrordesc_np(code)) {
    return message;
  }
  return concat("OS Error: ", code);
}

Status random_bytes(std::span<std::byte> out, EntropySource source) {
  if (auto filled = os_random_bytes(out, source); !filled) {
    return format_error(concat("OS randomness unavailable: ", filled.error().describe()));
  }
  return {};
}

std::expected<void, OsRandomError> os_random_bytes(std::span<std::byte> out, EntropySource source) {
  while (!out.empty()) {
    const std::size_t piece = std::min(out.size(), max_piece_bytes);
    errno = 0;
    if (source(out.data(), piece) != 0) {
      return std::unexpected(OsRandomError{errno > 0 ? errno : 0});
    }
    out = out.subspan(piece);
  }
  return {};
}

Result<std::uint64_t> draw_query_seed(EntropySource source) {
  std::uint64_t seed = 0;
  while (seed == 0) {
    QV_TRY(random_bytes(std::as_writable_bytes(std::span(&seed, 1)), source));
  }
  return seed;
}

Result<SecretVector<std::uint64_t>> random_secret_vector(std::size_t n, EntropySource source) {
  SecretVector<std::uint64_t> secret(n);
  QV_TRY(random_bytes(std::as_writable_bytes(std::span(secret)), source));
  return secret;
}

Result<SecretVector<std::int64_t>> random_error_vector(std::size_t n, EntropySource source) {
  SecretVector<std::uint8_t> bytes(n);
  QV_TRY(random_bytes(std::as_writable_bytes(std::span(bytes)), source));
  SecretVector<std::int64_t> error(n);
  std::transform(bytes.begin(), bytes.end(), error.begin(), sample_error);
  return error;
}

Result<std::uint64_t> random_below(std::uint64_t bound, EntropySource source) {
  // Values from the largest multiple of bound on would favour the smallest results.
  const std::uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
  while (true) {
    std::uint64_t value = 0;
    QV_TRY(random_bytes(std::as_writable_bytes(std::span(&value, 1)), source));
    if (value < limit) return value % bound;
  }
}


}  // namespace quorvex
