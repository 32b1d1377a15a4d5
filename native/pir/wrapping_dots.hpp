// Dot products of matrix rows with several secrets, wrapping modulo the word
// size: out[r * count + k] = sum over j of rows[r * width + j] * secrets[k][j].
// The order of the terms does not matter modulo 2^64 or 2^32, so the inner
// loop is vectorised; each overload is cloned for AVX-512, AVX2 and the
// baseline, and the clone for the running processor is picked at load time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvex {

void wrapping_dots(const std::uint64_t* rows, std::size_t row_count, std::size_t width,
                   const std::uint64_t* const* secrets, std::size_t count, std::uint64_t* out);
void wrapping_dots(const std::uint32_t* rows, std::size_t row_count, std::size_t width,
                   const std::uint32_t* const* secrets, std::size_t count, std::uint32_t* out);

}  // namespace quorvex
