// SHA-256 (FIPS 180-4) over bytes given in pieces, and the digest of a whole
// byte string rendered as the checksum list writes it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace quorvex {

class Sha256 {
 public:
  using Digest = std::array<unsigned char, 32>;

  Sha256();
  void update(std::span<const char> bytes);
  // The digest of everything fed so far; the object is spent afterwards.
  Digest finish();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> context_;
};

// The digest of a file's bytes and how many there were.
struct FileDigest {
  Sha256::Digest digest;
  std::uint64_t byte_count = 0;
};

// 64 lower-case hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

}  // namespace quorvex
