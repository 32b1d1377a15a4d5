#include "simplepir/chacha20_keystream.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string.h>

namespace quorvex {

static_assert(std::endian::native == std::endian::little,
              "keystream words are copied to memory as little-endian values");

namespace {

constexpr std::uint64_t openssl_counter_limit = std::uint64_t{1} << 32;
// The zeros each EVP update encrypts: a whole number of blocks.
constexpr std::size_t zero_source_bytes = std::size_t{1} << 16;

ChaCha20Key key_words_of(const std::array<std::uint8_t, 32>& key) {
  ChaCha20Key words;
  std::memcpy(words.data(), key.data(), key.size());
  return words;
}

}  // namespace

void ChaCha20Keystream::ContextDeleter::operator()(evp_cipher_ctx_st* ctx) const { EVP_CIPHER_CTX_free(ctx); }

ChaCha20Keystream::ChaCha20Keystream(const std::array<std::uint8_t, 32>& key)
    : key_bytes_(key), key_words_(key_words_of(key)) {}

ChaCha20Keystream::~ChaCha20Keystream() {
  ::explicit_bzero(key_bytes_.data(), sizeof key_bytes_);
  ::explicit_bzero(key_words_.data(), sizeof key_words_);
}

void ChaCha20Keystream::generate(std::uint64_t first_block, std::span<std::byte> out) {
  if (out.size() % block_bytes != 0) {
    throw std::logic_error("ChaCha20 keystream requests must be whole blocks");
  }
  const std::uint64_t nblocks = out.size() / block_bytes;
  if (first_block < openssl_counter_limit) {
    const std::uint64_t fast_blocks = std::min(nblocks, openssl_counter_limit - first_block);
    generate_openssl(first_block, out.first(fast_blocks * block_bytes));
    first_block += fast_blocks;
    out = out.subspan(fast_blocks * block_bytes);
  }
  generate_portable(first_block, out);
}

void ChaCha20Keystream::generate_portable(std::uint64_t first_block, std::span<std::byte> out) const {
  for (std::size_t offset = 0; offset + block_bytes <= out.size(); offset += block_bytes) {
    const ChaCha20Block block = chacha20_block(key_words_, first_block++);
    std::memcpy(out.data() + offset, block.data(), block_bytes);
  }
}

void ChaCha20Keystream::generate_openssl(std::uint64_t first_block, std::span<std::byte> out) {
  if (out.empty()) {
    return;
  }
  if (!ctx_) {
    ctx_.reset(EVP_CIPHER_CTX_new());
    if (!ctx_) {
      throw std::bad_alloc();
    }
    ctx_next_block_ = ~std::uint64_t{0};
  }
  if (ctx_next_block_ != first_block) {
    // IV: the 32-bit block counter, little-endian, then a 96-bit zero nonce.
    std::array<unsigned char, 16> iv{};
    const auto counter = static_cast<std::uint32_t>(first_block);
    std::memcpy(iv.data(), &counter, sizeof counter);
    if (EVP_EncryptInit_ex(ctx_.get(), EVP_chacha20(), nullptr, key_bytes_.data(), iv.data()) != 1) {
      ctx_.reset();
      throw std::logic_error("OpenSSL ChaCha20 initialisation failed");
    }
  }
  // Encrypting zeros yields the keystream itself. They are read from one
  // small buffer that stays in the cache, rather than written over `out` first.
  alignas(64) static constexpr unsigned char zeros[zero_source_bytes] = {};
  auto* bytes = reinterpret_cast<unsigned char*>(out.data());
  for (std::size_t offset = 0; offset < out.size(); offset += zero_source_bytes) {
    const std::size_t length = std::min(zero_source_bytes, out.size() - offset);
    int written = 0;
    if (EVP_EncryptUpdate(ctx_.get(), bytes + offset, &written, zeros, static_cast<int>(length)) != 1 ||
        static_cast<std::size_t>(written) != length) {
      ctx_.reset();
      throw std::logic_error("OpenSSL ChaCha20 keystream generation failed");
    }
  }
  ctx_next_block_ = first_block + out.size() / block_bytes;
}

}  // namespace quorvex
