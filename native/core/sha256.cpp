#include "core/sha256.hpp"

#include <openssl/evp.h>

#include <new>

#include "core/checksum.hpp"

namespace quorvex {

// Failures of these calls mean the library could not allocate its state.
Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
}

void Sha256::Free::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

void Sha256::update(std::span<const char> bytes) {
  if (EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1) throw std::bad_alloc();
}

Sha256::Digest Sha256::finish() {
  Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1) throw std::bad_alloc();
  return digest;
}

std::string sha256_hex(std::string_view bytes) {
  Sha256 hash;
  hash.update(bytes);
  return to_hex(hash.finish());
}

}  // namespace quorvex
