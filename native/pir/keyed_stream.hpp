// KeyedStream: random words for the long vectors of one query (its secret
// and its error), from a ChaCha20 keystream whose key is 32 bytes of an
// entropy source. One request to the source replaces thousands of small
// ones, and without the key the words cannot be told from uniform ones. The
// key is wiped when the stream dies, and every word it gives is held in
// memory that is wiped when freed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/error.hpp"
#include "core/secret_vector.hpp"
#include "pir/os_random.hpp"
#include "simplepir/chacha20_keystream.hpp"

namespace quorvex {

class KeyedStream {
 public:
  // A stream keyed by 32 fresh bytes of `source`.
  static Result<KeyedStream> keyed_by(EntropySource source = os_entropy);

  // The next n 64-bit words (little-endian); each call starts at a fresh block.
  SecretVector<std::uint64_t> words(std::size_t n);

 private:
  explicit KeyedStream(ChaCha20Keystream keystream) : keystream_(std::move(keystream)) {}

  ChaCha20Keystream keystream_;
  std::uint64_t next_block_ = 0;
};

// n values of the centred binomial distribution of 82 coin pairs (mean 0,
// variance 41), each from the next three words of the stream.
SecretVector<std::int64_t> centred_binomial_vector(KeyedStream& stream, std::size_t n);

}  // namespace quorvex
