// Entries of the toy backend's public matrix, computed on demand.
#pragma once

#include <cstdint>

namespace quorvex {

// Entry (i, j) of the toy public matrix for matrix_seed: a SplitMix64 output
// mix of a state derived from the seed and the position, truncated to its low
// 32 bits. Any entry can be computed on its own and in any order.
std::uint64_t public_matrix_entry(std::uint64_t matrix_seed, std::uint64_t i, std::uint64_t j);

}  // namespace quorvex
