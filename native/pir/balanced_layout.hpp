// The balanced layout of a PIR store. Each record is written as d 9-bit
// digits (record_digits.hpp); the database is `rows` x `columns` digits, k
// records stacked in each column: record r sits in column r / k, its digits
// in rows (r % k) * d to (r % k) * d + d - 1. A query holds one element per
// column, an answer one per row, and a client decodes only its record's d
// rows. Publisher, server and client derive the same layout from the record
// count and size alone.
#pragma once

#include <cstdint>

#include "core/error.hpp"

namespace quorvex {

// Plaintext digits of 9 bits scaled by delta = 2^32 / 2^9 in 32-bit words.
inline constexpr unsigned kBalancedDigitBits = 9;
inline constexpr std::uint32_t kBalancedDelta = std::uint32_t{1} << (32 - kBalancedDigitBits);
// A retrieval may fail to decode at most with probability 2^kBalancedMaxFailureLog2.
inline constexpr double kBalancedMaxFailureLog2 = -40;

struct BalancedLayout {
  std::uint64_t record_count = 0;
  std::uint64_t record_size_bytes = 0;
  std::uint64_t digits_per_record = 0;   // d = ceil(8 * record_size_bytes / 9)
  std::uint64_t records_per_column = 0;  // k
  std::uint64_t columns = 0;             // ceil(record_count / k): elements of a query
  std::uint64_t rows = 0;                // k * d: elements of an answer

  // The layout of a store: the k in 1 .. record_count that makes a
  // retrieval's upload plus download (columns + rows per query) smallest
  // among those that meet the decoding-failure bound (the smaller k on a tie).
  static Result<BalancedLayout> for_store(std::uint64_t record_count, std::uint64_t record_size_bytes);
  // The layout with k records per column; refused when k is not in
  // 1 .. record_count or the bound does not hold.
  static Result<BalancedLayout> with_records_per_column(std::uint64_t record_count, std::uint64_t record_size_bytes,
                                                        std::uint64_t records_per_column);

  std::uint64_t column_of(std::uint64_t record_id) const { return record_id / records_per_column; }
  std::uint64_t first_row_of(std::uint64_t record_id) const {
    return record_id % records_per_column * digits_per_record;
  }
};

// An upper bound, as log2, on the probability that one retrieval of
// `retrieval_count` queries decodes a wrong digit, when a query has `columns`
// elements and a record `digits` digits. The noise of one decoded digit is
// sum over the columns of D_c * e_c, with |D_c| <= 2^8 (the centred digits)
// and e_c from the centred binomial distribution of 82 coin pairs, which is
// sub-Gaussian with variance proxy 41 (each pair a - b has the moment
// generating function cosh^2(t/2) <= exp(t^2/4)). So
//   P(|noise| >= delta/2) <= 2 exp(-(delta/2)^2 / (2 * 41 * columns * 2^16)),
// and a retrieval decodes retrieval_count * digits of them (union bound).
double balanced_failure_log2(std::uint64_t columns, std::uint64_t digits, std::uint64_t retrieval_count);

}  // namespace quorvex
