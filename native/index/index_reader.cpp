#include "index/index_reader.hpp"

#include <limits>

#include "core/json_file.hpp"
#include "core/text.hpp"
#include "index/binary_reader.hpp"
#include "index/finite_values.hpp"
#include "index/line_reader.hpp"
#include "index/metadata_line.hpp"

namespace quorvex {

namespace {

bool has_magic(const std::array<char, 8>& bytes, std::string_view magic) {
  return std::string_view(bytes.data(), bytes.size()) == magic;
}

std::uint64_t little_endian_u64(const char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

}  // namespace

Result<IndexTables> IndexReader::load() const {
  return load_index_tables([&] { return read_config(); }, [&] { return read_vectors(); },
                           [&] { return read_ids(); }, [&] { return read_metadata(); });
}

Result<IndexConfig> IndexReader::read_config() const {
  InputFile file = QV_TRY(InputFile::open(index_dir_ / kIndexConfigName));
  return read_config_from(file);
}

Result<VectorTable> IndexReader::read_vectors() const {
  InputFile file = QV_TRY(InputFile::open(index_dir_ / kVectorsName));
  return read_vectors_from(file);
}

Result<std::vector<std::uint64_t>> IndexReader::read_ids() const {
  InputFile file = QV_TRY(InputFile::open(index_dir_ / kIdsName));
  return read_ids_from(file);
}

Result<std::vector<IndexMetadataRecord>> IndexReader::read_metadata() const {
  InputFile file = QV_TRY(InputFile::open(index_dir_ / kMetadataName));
  return read_metadata_from(file);
}

Result<IndexConfig> IndexReader::read_config_from(InputFile& input) {
  const std::string contents = QV_TRY(read_json_text(input));
  IndexConfig config = QV_TRY(parse_json_file<IndexConfig>(input.path(), contents));
  QV_TRY(config.validate_v0());
  return config;
}

Result<VectorTable> IndexReader::read_vectors_from(InputFile& input) {
  BinaryReader file(input);
  if (!has_magic(QV_TRY(file.read_magic()), kVectorsMagic)) {
    return format_error(concat(display_path(file.path()), " has an unsupported vector file magic"));
  }
  const std::uint64_t dimensions = QV_TRY(file.read_u32());
  const std::uint64_t count = QV_TRY(file.read_u64());
  std::uint64_t values = 0;
  std::uint64_t payload_size = 0;
  if (__builtin_mul_overflow(count, dimensions, &values)) return format_error("vector file dimensions overflow");
  if (__builtin_mul_overflow(values, sizeof(float), &payload_size)) {
    return format_error("vector file byte count overflow");
  }
  if (dimensions != 0 && file.remaining_on_disk() >= payload_size) {
    // The file holds every row: they go from the file into the table in
    // pieces, without a copy of the whole payload.
    VectorTable table = QV_TRY(VectorTable::read_little_endian(
        dimensions, count, [&](std::span<char> piece) { return file.read_into(piece); }));
    QV_TRY(file.expect_end());
    QV_TRY(table.validate());
    return table;
  }
  const std::vector<char> payload = QV_TRY(file.read_payload(payload_size));
  QV_TRY(file.expect_end());
  return VectorTable::from_little_endian(dimensions, count, payload);
}

Result<std::vector<std::uint64_t>> IndexReader::read_ids_from(InputFile& input) {
  BinaryReader file(input);
  if (!has_magic(QV_TRY(file.read_magic()), kIdsMagic)) {
    return format_error(concat(display_path(file.path()), " has an unsupported ID file magic"));
  }
  const std::uint64_t count = QV_TRY(file.read_u64());
  // A count whose byte size overflows cannot be present; reading then runs into the end of the file.
  std::uint64_t payload_size = 0;
  if (__builtin_mul_overflow(count, sizeof(std::uint64_t), &payload_size)) {
    payload_size = std::numeric_limits<std::uint64_t>::max();
  }
  const std::vector<char> payload = QV_TRY(file.read_payload(payload_size));
  QV_TRY(file.expect_end());
  std::vector<std::uint64_t> ids(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = little_endian_u64(payload.data() + i * sizeof(std::uint64_t));
  return ids;
}

Result<std::vector<IndexMetadataRecord>> IndexReader::read_metadata_from(InputFile& input) {
  const std::filesystem::path& path = input.path();
  LineReader lines(input);
  std::vector<IndexMetadataRecord> records;
  // Physical line numbers: skipped lines count too.
  for (std::uint64_t number = 1;; ++number) {
    const std::optional<std::string_view> line = QV_TRY(lines.next());
    if (!line) return records;
    if (is_blank(*line)) continue;
    auto record = read_metadata_line(*line);
    if (!record) {
      return format_error(concat("metadata JSONL parse error in ", display_path(path), " at line ", number, ": ",
                                 record.error().describe()));
    }
    records.push_back(std::move(record).value());
  }
}

Status validate_tables(const IndexConfig& config, const VectorTable& vectors, std::span<const std::uint64_t> ids,
                       std::span<const IndexMetadataRecord> metadata) {
  QV_TRY(config.validate_v0());
  const std::uint64_t n = vectors.row_count();
  if (vectors.dimensions() != config.embedding_dimensions) {
    return format_error(concat("vectors.bin dimensions ", vectors.dimensions(), " do not match index config ",
                               config.embedding_dimensions));
  }
  if (n != config.vector_count) {
    return format_error(concat("vectors.bin count ", n, " does not match index config ", config.vector_count));
  }
  if (ids.size() != n) return format_error(concat("ids.bin count ", ids.size(), " does not match vector count ", n));
  if (metadata.size() != ids.size()) {
    return format_error(concat("metadata.jsonl count ", metadata.size(), " does not match vector count ", n));
  }
  std::vector<bool> seen(ids.size(), false);
  for (const std::uint64_t id : ids) {
    if (id >= n) return format_error(concat("internal record id ", id, " is out of range for ", n, " records"));
    if (seen[id]) return format_error(concat("duplicate internal record id ", id));
    seen[id] = true;
  }
  const bool finite = vectors.all_finite();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] != metadata[i].record_id) {
      return format_error(concat("id table record id ", ids[i], " does not match metadata record id ",
                                 metadata[i].record_id, " at row ", i));
    }
    // Whole-record checks hold for every record or for none.
    if (metadata[i].record_sha256.has_value() != metadata[0].record_sha256.has_value()) {
      return format_error(concat("metadata.jsonl gives record_sha256 on some rows only: rows 0 and ", i, " differ"));
    }
    // Every stored row has vectors.dimensions() values, checked equal to the configuration above.
    if (finite) continue;
    if (const auto d = vectors.first_non_finite(i)) return std::unexpected(non_finite_error("stored vector", *d));
  }
  return {};
}

}  // namespace quorvex
