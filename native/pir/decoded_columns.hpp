// DecodedColumns: every record the answers of a batch cover. A query asks for
// one column of the store, and its answer carries every record stacked in that
// column, so a decode that checks all of them does the same work, and fails
// the same way, whichever record of the column the query wanted. Query i
// covers the records_per_column records from first_covered_record(id) on,
// where id is the record it asked for; a slot past the store's last record
// decodes to zero bytes. Stores with one record per column cover just that
// record.
#pragma once

#include <cstdint>
#include <span>

#include "pir/pir_query.hpp"

namespace quorvex {

struct DecodedColumns {
  std::uint64_t records_per_column = 1;
  std::uint64_t record_size_bytes = 0;
  RecordBytes bytes;  // query by query, then slot by slot within the query's column

  std::uint64_t first_covered_record(std::uint64_t record_id) const {
    return record_id - record_id % records_per_column;
  }
  std::span<std::uint8_t> record(std::size_t query, std::uint64_t slot) {
    return std::span(bytes).subspan((query * records_per_column + slot) * record_size_bytes, record_size_bytes);
  }
  std::span<const std::uint8_t> record(std::size_t query, std::uint64_t slot) const {
    return std::span(bytes).subspan((query * records_per_column + slot) * record_size_bytes, record_size_bytes);
  }
};

}  // namespace quorvex
