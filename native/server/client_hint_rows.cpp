#include "server/client_hint_rows.hpp"

#include <algorithm>

#include "pir/pir_profiles.hpp"
#include "server/lane_word_product.hpp"
#include "simplepir/chacha20_rng.hpp"
#include "simplepir/word_public_matrix.hpp"
#include "simplepir/toy_public_matrix.hpp"

namespace quorvex {

namespace {

// Rows of the ChaCha20 public matrix generated at a time for the column sums.
constexpr std::size_t kSumRows = 4096;

// The column sums of rows 0 .. row_count - 1 of the simplepir-rs public matrix.
std::vector<std::uint64_t> column_sums(std::uint64_t seed, std::uint64_t row_count, std::size_t width) {
  std::vector<std::uint64_t> sums(width, 0);
  std::vector<std::uint64_t> rows(kSumRows * width);
  ChaCha20Rng generator = ChaCha20Rng::seed_from_u64(seed);
  for (std::uint64_t first = 0; first < row_count; first += kSumRows) {
    const std::size_t count = std::min<std::uint64_t>(kSumRows, row_count - first);
    generator.fill_u64(std::span(rows).first(count * width));
    for (std::size_t r = 0; r < count; ++r) {
      for (std::size_t j = 0; j < width; ++j) sums[j] += rows[r * width + j];
    }
  }
  return sums;
}

ClientHintRows simplepir_rs_rows(const LaneStore& store, std::uint64_t seed, unsigned threads) {
  const StoreShape& shape = store.shape;
  const std::size_t width = kSimplePirRsProfileValues.matrix_width;
  ClientHintRows hint{width, {}, {}};
  // Column c of the lane data meets row c of A: A's columns are the factor vectors.
  hint.rows = lane_products(store.rows(), shape.record_count, width, threads,
                            [&](FactorBlock& block, std::size_t first_row) {
                              std::vector<std::uint64_t> rows(block.length() * width);
                              ChaCha20Rng::seed_from_u64_after(seed, first_row * width).fill_u64(rows);
                              for (std::size_t r = 0; r < block.length(); ++r) {
                                for (std::size_t j = 0; j < width; ++j) block.set(j, r, rows[r * width + j]);
                              }
                            });
  const std::uint64_t half_p = kSimplePirRsProfileValues.plaintext_modulus / 2;
  const std::vector<std::uint64_t> sums = column_sums(seed, shape.query_length, width);
  hint.repeated.resize(width);
  for (std::size_t j = 0; j < width; ++j) hint.repeated[j] = 0 - half_p * sums[j];
  for (std::size_t i = 0; i < hint.rows.size(); ++i) hint.rows[i] += hint.repeated[i % width];
  return hint;
}

ClientHintRows toy_rows(const LaneStore& store, std::uint64_t seed, unsigned threads) {
  const std::size_t width = kToyProfileValues.matrix_width;
  ClientHintRows hint{width, {}, {}};
  hint.rows = lane_products(store.rows(), store.shape.record_count, width, threads,
                            [&](FactorBlock& block, std::size_t first_row) {
                              for (std::size_t r = 0; r < block.length(); ++r) {
                                for (std::size_t j = 0; j < width; ++j) {
                                  block.set(j, r, public_matrix_entry(seed, first_row + r, j));
                                }
                              }
                            });
  for (std::uint64_t& value : hint.rows) value &= store.shape.answer_mask;
  return hint;
}

}  // namespace

ClientHintRows client_hint_rows(const LaneStore& store, std::uint64_t matrix_seed, unsigned threads) {
  return store.shape.backend == PirBackendKind::SimplePirRs ? simplepir_rs_rows(store, matrix_seed, threads)
                                                            : toy_rows(store, matrix_seed, threads);
}

std::vector<std::uint32_t> balanced_client_hint(const LaneStore& store, const std::array<std::uint8_t, 32>& matrix_key,
                                                unsigned threads) {
  const std::size_t width = kBalancedProfileValues.matrix_width;
  // Column c of the digits meets row c of A: A's columns are the vectors.
  return lane_word_products(store.rows(), store.shape.columns, width, 256, threads,
                            [&](std::span<std::uint32_t> rows, std::size_t first_row) {
                              WordPublicMatrix(matrix_key, width).rows(first_row, rows);
                            });
}

}  // namespace quorvex
