// The machine's floors for the cache-level operations: OpenSSL producing the
// ChaCha20 keystream of one public matrix, and OpenSSL hashing the bytes that
// opening a cache must hash (from memory, so no file reading is counted).
#include <openssl/evp.h>

#include <array>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bench_cache.hpp"
#include "core/bundle_paths.hpp"

namespace quorvex::bench {
namespace {

struct CipherFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// Keystream bytes of one key from block 0: the zero input encrypted. The
// argument is the byte count (512000 = one 1000 x 64 matrix of 64-bit words).
void BM_OpenSslChaCha20Keystream(benchmark::State& state) {
  const auto bytes = static_cast<std::size_t>(state.range(0));
  const std::vector<unsigned char> zeros(bytes);
  std::vector<unsigned char> out(bytes);
  const std::array<unsigned char, 32> key{1, 2, 3, 4, 5, 6, 7, 8};
  const std::array<unsigned char, 16> iv{};
  std::unique_ptr<EVP_CIPHER_CTX, CipherFree> ctx(EVP_CIPHER_CTX_new());
  for (auto _ : state) {
    int written = 0;
    if (EVP_EncryptInit_ex(ctx.get(), EVP_chacha20(), nullptr, key.data(), iv.data()) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &written, zeros.data(), static_cast<int>(bytes)) != 1) {
      state.SkipWithError("OpenSSL ChaCha20 failed");
      return;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_OpenSslChaCha20Keystream)->Arg(512000);

std::string read_whole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// SHA-256 of what opening hashes: every file it reads, once each (the
// manifest, "checksums.json" for the publication, the four index files, the
// lexical index where the cache has one, the scheme and the client hint).
void BM_Sha256OpenedBytes(benchmark::State& state) {
  const auto dir = bench_cache_dir(state);
  if (!dir) return;
  std::vector<std::string> contents;
  for (const std::string_view file : {kManifestFile, kChecksumsFile, kVectorsFile, kIdsFile, kMetadataFile,
                                      kIndexConfigFile, kLexicalIndexFile, kPirSchemeFile, kPirClientHintFile}) {
    if (file == kLexicalIndexFile && !std::filesystem::exists(*dir / file)) continue;
    contents.push_back(read_whole(*dir / file));
  }
  std::size_t total = 0;
  for (const std::string& bytes : contents) total += bytes.size();
  std::array<unsigned char, 32> digest{};
  for (auto _ : state) {
    for (const std::string& bytes : contents) {
      unsigned int length = 0;
      EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
      benchmark::DoNotOptimize(digest.data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total));
  state.counters["hashed_bytes"] = static_cast<double>(total);
}
BENCHMARK(BM_Sha256OpenedBytes);

}  // namespace
}  // namespace quorvex::bench
