#include "pir/balanced_layout.hpp"

#include <cmath>

#include "core/profile_names.hpp"
#include "core/text.hpp"
#include "pir/record_digits.hpp"

namespace quorvex {

namespace {

constexpr double kErrorVarianceProxy = 41;       // 82 coin pairs
constexpr double kMaxCentredDigit = 256;         // |digit - 2^8| <= 2^8

Status check_failure_bound(std::uint64_t columns, std::uint64_t digits) {
  const double log2_bound = balanced_failure_log2(columns, digits, kBalancedRetrievalCount);
  if (log2_bound > kBalancedMaxFailureLog2) {
    return format_error(concat("a balanced store whose queries have ", columns, " columns and whose records have ",
                               digits, " digits may fail to decode a retrieval with probability 2^",
                               static_cast<std::int64_t>(std::ceil(log2_bound)), ", above the 2^",
                               static_cast<std::int64_t>(kBalancedMaxFailureLog2),
                               " allowed: the noise of one digit grows with the columns; stack more records in "
                               "each column"));
  }
  return {};
}

}  // namespace

double balanced_failure_log2(std::uint64_t columns, std::uint64_t digits, std::uint64_t retrieval_count) {
  const double half_delta = kBalancedDelta / 2.0;
  const double variance = kErrorVarianceProxy * static_cast<double>(columns) * kMaxCentredDigit * kMaxCentredDigit;
  const double elements = 2.0 * static_cast<double>(retrieval_count) * static_cast<double>(digits);
  return std::log2(elements) - half_delta * half_delta / (2 * variance) / std::log(2.0);
}

Result<BalancedLayout> BalancedLayout::with_records_per_column(std::uint64_t record_count,
                                                               std::uint64_t record_size_bytes,
                                                               std::uint64_t records_per_column) {
  if (record_count == 0) return format_error("a PIR store needs at least one record");
  if (records_per_column == 0 || records_per_column > record_count) {
    return format_error(concat("a balanced store of ", record_count, " records cannot stack ", records_per_column,
                               " records in a column"));
  }
  BalancedLayout layout;
  layout.record_count = record_count;
  layout.record_size_bytes = record_size_bytes;
  layout.digits_per_record = QV_TRY(record_digit_count(record_size_bytes));
  layout.records_per_column = records_per_column;
  layout.columns = record_count / records_per_column + (record_count % records_per_column != 0);
  if (__builtin_mul_overflow(records_per_column, layout.digits_per_record, &layout.rows)) {
    return format_error(concat("a balanced store of ", record_count, " records of ", record_size_bytes,
                               " bytes is too large to address"));
  }
  QV_TRY(check_failure_bound(layout.columns, layout.digits_per_record));
  return layout;
}

Result<BalancedLayout> BalancedLayout::for_store(std::uint64_t record_count, std::uint64_t record_size_bytes) {
  if (record_count == 0) return format_error("a PIR store needs at least one record");
  const std::uint64_t digits = QV_TRY(record_digit_count(record_size_bytes));
  // columns + rows = ceil(n / k) + k * d falls until k is about sqrt(n / d), then rises; the bound holds
  // from some k on (fewer columns, less noise). So the search starts at the smallest k that meets the
  // bound and stops once the cost has passed its minimum.
  std::uint64_t k = 1;
  while (k < record_count && balanced_failure_log2(record_count / k + (record_count % k != 0), digits,
                                                   kBalancedRetrievalCount) > kBalancedMaxFailureLog2) {
    k = k * 2 > record_count ? record_count : k * 2;
  }
  for (std::uint64_t lower = k / 2 + 1; lower < k; ++lower) {  // the smallest k since the doubling
    if (balanced_failure_log2(record_count / lower + (record_count % lower != 0), digits, kBalancedRetrievalCount) <=
        kBalancedMaxFailureLog2) {
      k = lower;
      break;
    }
  }
  const auto cost = [&](std::uint64_t per_column) {
    const long double columns = static_cast<long double>(record_count / per_column + (record_count % per_column != 0));
    return columns + static_cast<long double>(per_column) * static_cast<long double>(digits);
  };
  std::uint64_t best = k;
  for (std::uint64_t candidate = k + 1; candidate <= record_count && cost(candidate) <= cost(best) + digits;
       ++candidate) {
    if (cost(candidate) < cost(best)) best = candidate;
  }
  return with_records_per_column(record_count, record_size_bytes, best);
}

}  // namespace quorvex
