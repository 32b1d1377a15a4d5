// The ChaCha20 keystream of one key with a zero stream number: the plain
// concatenation of blocks 0, 1, 2, ... Blocks whose counter is below 2^32 come
// from OpenSSL's vectorised ChaCha20 (equal to RFC 8439 with a zero nonce);
// from 2^32 on, OpenSSL's 32-bit counter would carry into the nonce, so those
// blocks come from the portable block function with its 64-bit counter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "simplepir/chacha20_block.hpp"

struct evp_cipher_ctx_st;

namespace quorvex {

class ChaCha20Keystream {
 public:
  static constexpr std::size_t block_bytes = 64;

  explicit ChaCha20Keystream(const std::array<std::uint8_t, 32>& key);
  ChaCha20Keystream(ChaCha20Keystream&&) noexcept = default;
  ChaCha20Keystream& operator=(ChaCha20Keystream&&) noexcept = default;
  // Wipes the key: a public matrix's key is public, but a query stream's is secret.
  ~ChaCha20Keystream();

  // Writes blocks first_block, first_block + 1, ... into out, whose size must
  // be a multiple of block_bytes. OpenSSL failures are internal faults and
  // throw (std::bad_alloc or std::logic_error).
  void generate(std::uint64_t first_block, std::span<std::byte> out);

  // The same blocks from the portable block function only.
  void generate_portable(std::uint64_t first_block, std::span<std::byte> out) const;

 private:
  struct ContextDeleter {
    void operator()(evp_cipher_ctx_st* ctx) const;
  };

  void generate_openssl(std::uint64_t first_block, std::span<std::byte> out);

  std::array<std::uint8_t, 32> key_bytes_;
  ChaCha20Key key_words_;
  std::unique_ptr<evp_cipher_ctx_st, ContextDeleter> ctx_;
  // The block the OpenSSL context produces next, when it exists.
  std::uint64_t ctx_next_block_ = 0;
};

}  // namespace quorvex
