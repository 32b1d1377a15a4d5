// A record as 9-bit digits: digit t holds bits 9t to 9t + 8 of the record
// read as one little-endian string of bits (bit i of byte j is bit 8j + i),
// zero past the record's end. So a record of L bytes has ceil(8L / 9) digits,
// each in 0 .. 511.
#pragma once

#include <cstdint>
#include <span>

#include "core/error.hpp"

namespace quorvex {

// ceil(8 * record_size_bytes / 9), refused where 8 * record_size_bytes overflows.
Result<std::uint64_t> record_digit_count(std::uint64_t record_size_bytes);

// Writes the digits of `record` into `digits` (record_digit_count(record.size()) of them).
void record_to_digits(std::span<const std::uint8_t> record, std::span<std::uint16_t> digits);

// Writes the record whose digits are `digits` (the low 9 bits of each) into `record`.
void digits_to_record(std::span<const std::uint16_t> digits, std::span<std::uint8_t> record);

}  // namespace quorvex
