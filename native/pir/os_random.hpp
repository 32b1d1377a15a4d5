// Query material from the operating system's entropy source: query seeds,
// secret vectors and error vectors, drawn fresh for every query.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "core/error.hpp"
#include "core/secret_vector.hpp"

namespace quorvex {

// A platform entropy call with getentropy's contract: fills `length` bytes
// (at most 256) and returns 0, or returns -1 with errno set.
using EntropySource = int (*)(void* buffer, std::size_t length);

// The operating system's source (getentropy).
int os_entropy(void* buffer, std::size_t length);

// A failed entropy request, by its errno value; 0 when the platform signalled
// failure without a positive errno.
struct OsRandomError {
  int code = 0;

  // The system's message for the errno, "OS Error: {code}" when it has none,
  // "errno: did not return a positive value" for code 0.
  std::string describe() const;
};

// Fills `out` in pieces of at most 256 bytes, in order; the first failing
// piece ends the request.
std::expected<void, OsRandomError> os_random_bytes(std::span<std::byte> out, EntropySource source = os_entropy);

// os_random_bytes, its failure as "OS randomness unavailable: {reason}".
Status random_bytes(std::span<std::byte> out, EntropySource source = os_entropy);

// A nonzero value from 8 random bytes (little-endian); an all-zero draw is
// repeated.
Result<std::uint64_t> draw_query_seed(EntropySource source = os_entropy);

// n full 64-bit values (8 * n bytes in one request, little-endian, not reduced).
Result<SecretVector<std::uint64_t>> random_secret_vector(std::size_t n, EntropySource source = os_entropy);

// n values in {-1, 0, +1}, one random byte each (n bytes in one request; no
// request for n = 0).
Result<SecretVector<std::int64_t>> random_error_vector(std::size_t n, EntropySource source = os_entropy);

// A uniform value below `bound` (at least 1), by rejection: no value is more likely than another.
Result<std::uint64_t> random_below(std::uint64_t bound, EntropySource source = os_entropy);

// popcount(a) - popcount(b) for the 82-bit strings a = w0 and the low 18 bits
// of w2, b = w1 and the 18 bits above those.
inline std::int64_t centred_binomial_82(std::uint64_t w0, std::uint64_t w1, std::uint64_t w2) {
  constexpr std::uint64_t kLow18 = (std::uint64_t{1} << 18) - 1;
  const int ones = std::popcount(w0) + std::popcount(w2 & kLow18);
  const int others = std::popcount(w1) + std::popcount((w2 >> 18) & kLow18);
  return ones - others;
}

// byte mod 3: 0 gives -1, 1 gives 0, 2 gives +1.
inline std::int64_t sample_error(std::uint8_t byte) { return static_cast<std::int64_t>(byte % 3) - 1; }

}  // namespace quorvex
