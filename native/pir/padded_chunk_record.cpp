#include "pir/padded_chunk_record.hpp"

#include "core/json_decode.hpp"
#include "core/text.hpp"

namespace quorvex {

Result<ChunkRecord> decode_padded_chunk_record(std::span<const std::uint8_t> bytes, RecordErrors errors) {
  const bool lengths = errors == RecordErrors::WithLengths;
  if (bytes.size() < 4) return format_error("padded chunk record is shorter than the length prefix");
  const std::uint64_t length = std::uint64_t{bytes[0]} | std::uint64_t{bytes[1]} << 8 |
                               std::uint64_t{bytes[2]} << 16 | std::uint64_t{bytes[3]} << 24;
  if (length + 4 > bytes.size()) {
    if (!lengths) return format_error("chunk payload length exceeds record size");
    return format_error(concat("chunk payload length ", length, " exceeds record size ", bytes.size()));
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()) + 4, length);
  auto record = read_json<ChunkRecord>(text);
  if (record) return std::move(record).value();
  // A missing or repeated field is named; the reader's other descriptions
  // would quote decrypted bytes. A position is a length read from the record.
  JsonError error = std::move(record).error();
  const bool names_a_field = error.message.starts_with("missing field `") ||
                             error.message.starts_with("duplicate field `");
  if (!names_a_field) error = JsonError{std::string(kNotAChunkRecord)};
  if (!lengths) error.line = error.column = 0;
  return std::unexpected(QuorvexError::json_label("chunk-record-payload", std::move(error)));
}

}  // namespace quorvex
