#include "pir/record_digits.hpp"

#include "core/text.hpp"
#include "pir/balanced_layout.hpp"

namespace quorvex {

namespace {

constexpr unsigned kBits = kBalancedDigitBits;
constexpr std::uint32_t kDigitMask = (1u << kBits) - 1;

}  // namespace

Result<std::uint64_t> record_digit_count(std::uint64_t record_size_bytes) {
  std::uint64_t bits = 0;
  if (__builtin_mul_overflow(record_size_bytes, std::uint64_t{8}, &bits)) {
    return format_error(concat("records of ", record_size_bytes, " bytes are too large to address"));
  }
  return bits / kBits + (bits % kBits != 0);
}

void record_to_digits(std::span<const std::uint8_t> record, std::span<std::uint16_t> digits) {
  std::uint32_t pending = 0;  // bits read and not yet written, lowest first
  unsigned count = 0;
  std::size_t next = 0;
  for (std::uint16_t& digit : digits) {
    while (count < kBits && next < record.size()) {
      pending |= std::uint32_t{record[next++]} << count;
      count += 8;
    }
    digit = static_cast<std::uint16_t>(pending & kDigitMask);
    pending >>= kBits;
    count = count > kBits ? count - kBits : 0;
  }
}

void digits_to_record(std::span<const std::uint16_t> digits, std::span<std::uint8_t> record) {
  std::uint32_t pending = 0;
  unsigned count = 0;
  std::size_t next = 0;
  for (std::uint8_t& byte : record) {
    while (count < 8 && next < digits.size()) {
      pending |= (std::uint32_t{digits[next++]} & kDigitMask) << count;
      count += kBits;
    }
    byte = static_cast<std::uint8_t>(pending & 0xFF);
    pending >>= 8;
    count = count > 8 ? count - 8 : 0;
  }
}

}  // namespace quorvex
