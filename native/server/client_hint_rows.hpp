// The client hint that the publisher writes into "pir/client_hint.bin",
// computed from the lane data without the square database.
//
// simplepir-rs: H = (D - half_p)·A over the square database D (lane rows
// first, zeros elsewhere) and the ChaCha20 public matrix A. It splits into
// D·A minus half_p times the column sums of A: rows below lane_count differ,
// and every row from lane_count to square_side_len is the same row,
// -half_p times the column sums.
// Toy: H = D·A modulo 2^32, one row per record byte, A the SplitMix64 matrix.
// Balanced: see balanced_client_hint.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "server/lane_store.hpp"

namespace quorvex {

struct ClientHintRows {
  std::uint64_t width = 0;               // values per row
  std::vector<std::uint64_t> rows;       // lane_rows rows, row-major
  std::vector<std::uint64_t> repeated;   // simplepir-rs: the row repeated up to square_side_len; toy: empty
};

// `matrix_seed` is the simplepir-rs setup's server_hint or the toy setup's
// matrix_seed. The store is a toy or simplepir-rs store.
ClientHintRows client_hint_rows(const LaneStore& store, std::uint64_t matrix_seed, unsigned threads);

// Balanced: H = (U - 256)·A modulo 2^32 over the stored digits U and the
// word matrix A of `matrix_key` (columns x 1408), rows x 1408 values, row by
// row. It splits into U·A minus 256 times the column sums of A. The store is
// a balanced store.
std::vector<std::uint32_t> balanced_client_hint(const LaneStore& store, const std::array<std::uint8_t, 32>& matrix_key,
                                                unsigned threads);

}  // namespace quorvex
