#include "pir/padded_chunk_record.hpp"

#include "core/json_decode.hpp"
#include "core/text.hpp"

namespace quorvex {

Result<ChunkRecord> decode_padded_chunk_record(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4) return format_error("padded chunk record is shorter than the length prefix");
  const std::uint64_t length = std::uint64_t{bytes[0]} | std::uint64_t{bytes[1]} << 8 |
                               std::uint64_t{bytes[2]} << 16 | std::uint64_t{bytes[3]} << 24;
  if (length + 4 > bytes.size()) {
    return format_error(concat("chunk payload length ", length, " exceeds record size ", bytes.size()));
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()) + 4, length);
  auto record = read_json<ChunkRecord>(text);
  // The reader's own description would quote decrypted bytes, or place the fault within them.
  if (!record) return std::unexpected(QuorvexError::json_label("chunk-record-payload", JsonError{std::string(kNotAChunkRecord)}));
  return std::move(record).value();
}

}  // namespace quorvex
