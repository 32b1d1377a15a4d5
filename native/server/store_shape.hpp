// The shape of a PIR store as the server holds it: a database of 16-bit lane
// rows, and the lengths of the vectors that queries and answers carry.
//
// simplepir-rs: one column per record; lane i of a record is its bytes 2i and
// 2i + 1 as one little-endian value; queries and answers have
// square_side_len elements, and answer elements from lane_count on are zero.
// Toy: one column per record; lane r of a record is its byte r; queries have
// record_count elements, answers record_size_bytes, reduced modulo 2^32.
// Balanced: the layout of balanced_layout.hpp, a lane holding one 9-bit
// digit; queries have one 32-bit element per column, answers one per row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "pir/pir_profiles.hpp"

namespace quorvex {

struct StoreShape {
  std::string profile;
  PirBackendKind backend = PirBackendKind::Toy;
  PirScheme scheme = PirScheme::SimplePirLweV0;
  std::uint64_t record_count = 0;
  std::uint64_t record_size_bytes = 0;
  std::uint64_t lane_rows = 0;
  std::uint64_t columns = 0;  // of the lane data: the query elements that meet a record
  std::uint64_t records_per_column = 1;
  std::uint64_t query_length = 0;
  std::uint64_t answer_length = 0;
  std::uint64_t answer_mask = 0;
  std::uint64_t delta = 0;  // the plaintext scale: an answer element one delta higher decodes one higher
  std::uint64_t query_magic = 0;
  std::uint64_t response_magic = 0;
  std::uint64_t word_bytes = 8;  // of a query or answer element: 8, or 4 for the balanced scheme

  // The shape of a store of `profile` (one of the profile names), refused
  // when the counts are out of range or the answer noise could exceed what
  // decoding tolerates.
  static Result<StoreShape> for_store(std::string_view profile, std::uint64_t record_count,
                                      std::uint64_t record_size_bytes);

  // Bytes of the lane data: lane_rows x columns u16 values.
  std::uint64_t lane_bytes() const { return lane_rows * columns * 2; }
};

}  // namespace quorvex
