#include "simplepir/chacha20_block.hpp"

#include <bit>
#include <cstddef>

namespace quorvex {
namespace {

inline void quarter_round(ChaCha20Block& x, std::size_t a, std::size_t b, std::size_t c, std::size_t d) {
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

}  // namespace

ChaCha20Block chacha20_block(const ChaCha20Key& key, std::uint64_t counter) {
  const auto low = static_cast<std::uint32_t>(counter), high = static_cast<std::uint32_t>(counter >> 32);
  // "expand 32-byte k", the key, the counter and a zero stream number.
  return run_rounds({0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, key[0], key[1], key[2], key[3],
                     key[4],     key[5],     key[6],     key[7],     low,    high,   0,      0});
}

}  // namespace quorvex
