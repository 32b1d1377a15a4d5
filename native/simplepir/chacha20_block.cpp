#include "simplepir/chacha20_block.hpp"

#include <bit>

namespace quorvex {
namespace {

inline void quarter_round(ChaCha20Block& x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 7);
}

ChaCha20Block run_rounds(const ChaCha20Block& input) {
  ChaCha20Block x = input;
  for (int double_round = 0; double_round < 10; ++double_round) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (std::size_t k = 0; k < x.size(); ++k) {
    x[k] += input[k];
  }
  return x;
}

ChaCha20Block initial_state(const ChaCha20Key& key, std::uint32_t w12, std::uint32_t w13, std::uint32_t w14,
                            std::uint32_t w15) {
  // "expand 32-byte k"
  return {0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, key[0], key[1], key[2], key[3],
          key[4],     key[5],     key[6],     key[7],     w12,    w13,    w14,    w15};
}

}  // namespace

ChaCha20Block chacha20_block(const ChaCha20Key& key, std::uint64_t counter) {
  return run_rounds(initial_state(key, static_cast<std::uint32_t>(counter),
                                  static_cast<std::uint32_t>(counter >> 32), 0, 0));
}

ChaCha20Block chacha20_block_rfc8439(const ChaCha20Key& key, std::uint32_t counter,
                                     const std::array<std::uint32_t, 3>& nonce) {
  return run_rounds(initial_state(key, counter, nonce[0], nonce[1], nonce[2]));
}

}  // namespace quorvex
