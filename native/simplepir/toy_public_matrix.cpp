#include "simplepir/toy_public_matrix.hpp"

namespace quorvex {

std::uint64_t public_matrix_entry(std::uint64_t matrix_seed, std::uint64_t i, std::uint64_t j) {
  constexpr std::uint64_t golden_gamma = 0x9E3779B97F4A7C15;
  constexpr std::uint64_t mix1 = 0xBF58476D1CE4E5B9;
  constexpr std::uint64_t mix2 = 0x94D049BB133111EB;
  std::uint64_t z = (matrix_seed ^ (i * golden_gamma) ^ (j * mix1)) + golden_gamma;
  z = (z ^ (z >> 30)) * mix1;
  z = (z ^ (z >> 27)) * mix2;
  z ^= z >> 31;
  return z & 0xFFFFFFFF;
}

}  // namespace quorvex
