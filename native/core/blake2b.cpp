#include "core/blake2b.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace quorvex {

namespace {

constexpr std::size_t kBlockBytes = 128;
constexpr std::size_t kLanes = 4;

// Four 64-bit words, one per message, in one vector (GCC and Clang vector
// extensions: the same operators as on one word).
using Lanes = std::uint64_t __attribute__((vector_size(kLanes * sizeof(std::uint64_t))));

constexpr std::array<std::uint64_t, 8> kInitial = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179,
};

// The message schedule of each round (rounds 10 and 11 repeat rounds 0 and 1).
constexpr std::array<std::array<std::uint8_t, 16>, 10> kSigma = {{
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
}};

static_assert(std::endian::native == std::endian::little, "message and chain words are copied as little-endian values");

std::uint64_t load_le64(const char* bytes) {
  std::uint64_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// The compression function over `Word`: one 64-bit word (one message) or
// Lanes (four messages). Every round is written out with constant indices, so
// that the working vector can live in registers.
template <class Word>
[[gnu::always_inline]] inline void rotate_right(Word& x, int bits) {
  x = (x >> bits) | (x << (64 - bits));
}

template <class Word>
[[gnu::always_inline]] inline void mix(std::array<Word, 16>& v, std::size_t a, std::size_t b, std::size_t c,
                                       std::size_t d, const Word& x, const Word& y) {
  v[a] = v[a] + v[b] + x;
  v[d] ^= v[a];
  rotate_right(v[d], 32);
  v[c] = v[c] + v[d];
  v[b] ^= v[c];
  rotate_right(v[b], 24);
  v[a] = v[a] + v[b] + y;
  v[d] ^= v[a];
  rotate_right(v[d], 16);
  v[c] = v[c] + v[d];
  v[b] ^= v[c];
  rotate_right(v[b], 63);
}

template <std::size_t Round, class Word>
[[gnu::always_inline]] inline void round(std::array<Word, 16>& v, const std::array<Word, 16>& m) {
  constexpr const std::array<std::uint8_t, 16>& s = kSigma[Round % 10];
  mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
  mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
  mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
  mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
  mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
  mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
  mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
  mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
}

template <class Word, std::size_t... Rounds>
[[gnu::always_inline]] inline void twelve_rounds(std::array<Word, 16>& v, const std::array<Word, 16>& m,
                                                 std::index_sequence<Rounds...>) {
  (round<Rounds>(v, m), ...);
}

// Compresses the block `m` into `h`; `bytes_so_far` counts the message up to
// the block's end (the counter's high word stays 0: messages are shorter than
// 2^64 bytes), and `last` is all ones for the final block, else 0.
template <class Word>
[[gnu::always_inline]] inline void compress(std::array<Word, 8>& h, const std::array<Word, 16>& m,
                                            const Word& bytes_so_far, const Word& last) {
  std::array<Word, 16> v{};
  for (std::size_t i = 0; i < 8; ++i) {
    v[i] = h[i];
    v[i + 8] = Word{} + kInitial[i];
  }
  v[12] ^= bytes_so_far;
  v[14] ^= last;
  twelve_rounds(v, m, std::make_index_sequence<12>());
  for (std::size_t i = 0; i < 8; ++i) h[i] ^= v[i] ^ v[i + 8];
}

template <class Word>
std::array<Word, 8> initial_chain(std::size_t digest_length, const Blake2bPerson& person) {
  std::array<Word, 8> h{};
  for (std::size_t i = 0; i < 8; ++i) h[i] = Word{} + kInitial[i];
  // Parameter block: digest length, key length 0, fanout 1, depth 1; the personalisation in its last 16 bytes.
  const auto* person_bytes = reinterpret_cast<const char*>(person.data());
  h[0] ^= Word{} + (0x01010000U ^ digest_length);
  h[6] ^= Word{} + load_le64(person_bytes);
  h[7] ^= Word{} + load_le64(person_bytes + 8);
  return h;
}

using Block = std::array<std::uint64_t, 16>;

// The message words of a block, zero-padded where the message ends before it.
Block block_words(std::string_view bytes) {
  Block m{};
  std::copy_n(bytes.data(), std::min(bytes.size(), kBlockBytes), reinterpret_cast<char*>(m.data()));
  return m;
}

// The first chain word (the 8-byte digest, little-endian) of four messages of
// at most one block each. Built for each vector width the processor may have
// and chosen when the module loads, where the platform allows.
#if defined(__x86_64__) && defined(__linux__)
[[gnu::target_clones("default", "avx2", "arch=x86-64-v4")]]
#endif
void hash_four(const std::array<Block, kLanes>& blocks, const std::array<std::uint64_t, kLanes>& lengths,
               const std::array<Lanes, 8>& start, std::array<std::uint64_t, kLanes>& out) {
  std::array<Lanes, 16> m{};
  for (std::size_t i = 0; i < 16; ++i) m[i] = Lanes{blocks[0][i], blocks[1][i], blocks[2][i], blocks[3][i]};
  std::array<Lanes, 8> h = start;
  compress(h, m, Lanes{lengths[0], lengths[1], lengths[2], lengths[3]}, ~Lanes{});
  for (std::size_t lane = 0; lane < kLanes; ++lane) out[lane] = h[0][lane];
}

}  // namespace

std::array<std::uint8_t, 64> blake2b_chain(std::string_view message, std::size_t digest_length,
                                           const Blake2bPerson& person) {
  std::array<std::uint64_t, 8> h = initial_chain<std::uint64_t>(digest_length, person);
  // Every full block but the last; the last (possibly partial, possibly empty) block is zero-padded.
  std::size_t offset = 0;
  while (message.size() - offset > kBlockBytes) {
    offset += kBlockBytes;
    compress(h, block_words(message.substr(offset - kBlockBytes, kBlockBytes)), std::uint64_t{offset}, std::uint64_t{0});
  }
  compress(h, block_words(message.substr(offset)), std::uint64_t{message.size()}, ~std::uint64_t{0});
  std::array<std::uint8_t, 64> chain{};
  for (std::size_t i = 0; i < 64; ++i) chain[i] = static_cast<std::uint8_t>(h[i / 8] >> (8 * (i % 8)));
  return chain;
}

std::vector<std::uint64_t> blake2b_u64s(std::span<const std::string_view> messages, const Blake2bPerson& person) {
  std::vector<std::uint64_t> values(messages.size());
  const std::array<Lanes, 8> start = initial_chain<Lanes>(8, person);
  // The short messages waiting for a group of four: their indices, blocks and lengths.
  std::array<std::size_t, kLanes> waiting{};
  std::array<Block, kLanes> blocks{};
  std::array<std::uint64_t, kLanes> lengths{};
  std::size_t filled = 0;
  const auto hash_waiting = [&] {
    std::array<std::uint64_t, kLanes> out{};
    hash_four(blocks, lengths, start, out);
    for (std::size_t lane = 0; lane < filled; ++lane) values[waiting[lane]] = out[lane];
    filled = 0;
  };
  for (std::size_t k = 0; k < messages.size(); ++k) {
    if (messages[k].size() > kBlockBytes) {
      values[k] = load_le64(reinterpret_cast<const char*>(blake2b<8>(messages[k], person).data()));
      continue;
    }
    blocks[filled] = block_words(messages[k]);
    lengths[filled] = messages[k].size();
    waiting[filled++] = k;
    if (filled == kLanes) hash_waiting();
  }
  if (filled > 0) hash_waiting();
  return values;
}

}  // namespace quorvex
