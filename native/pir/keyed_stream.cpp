#include "pir/keyed_stream.hpp"

#include <array>
#include <string.h>

namespace quorvex {

Result<KeyedStream> KeyedStream::keyed_by(EntropySource source) {
  std::array<std::uint8_t, 32> key{};
  const Status filled = random_bytes(std::as_writable_bytes(std::span(key)), source);
  KeyedStream stream{ChaCha20Keystream(key)};  // the keystream wipes its copy of the key when it dies
  ::explicit_bzero(key.data(), key.size());
  QV_TRY(filled);
  return stream;
}

SecretVector<std::uint64_t> KeyedStream::words(std::size_t n) {
  constexpr std::size_t kWordsPerBlock = ChaCha20Keystream::block_bytes / sizeof(std::uint64_t);
  const std::size_t blocks = (n + kWordsPerBlock - 1) / kWordsPerBlock;
  SecretVector<std::uint64_t> words(blocks * kWordsPerBlock);
  keystream_.generate(next_block_, std::as_writable_bytes(std::span(words)));
  next_block_ += blocks;
  words.resize(n);
  return words;
}

namespace {

// Cloned with the processor's population count where it has one.
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("popcnt", "default")))
#endif
void centred_binomial_values(const std::uint64_t* words, std::size_t n, std::int64_t* values) {
  for (std::size_t i = 0; i < n; ++i) values[i] = centred_binomial_82(words[3 * i], words[3 * i + 1], words[3 * i + 2]);
}

}  // namespace

SecretVector<std::int64_t> centred_binomial_vector(KeyedStream& stream, std::size_t n) {
  const SecretVector<std::uint64_t> words = stream.words(3 * n);
  SecretVector<std::int64_t> values(n);
  centred_binomial_values(words.data(), n, values.data());
  return values;
}

}  // namespace quorvex
