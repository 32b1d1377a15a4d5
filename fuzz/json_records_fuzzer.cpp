// The JSON record readers of the cache: the first byte picks the record, the
// rest is the document. Each accepted record also runs its own validation; a
// metadata line the direct scan takes must give the parser's record.
#include <cstdlib>
#include <string>

#include "core/checksum.hpp"
#include "core/chunk.hpp"
#include "core/json_decode.hpp"
#include "core/manifest.hpp"
#include "fuzz/fuzz_input.hpp"
#include "index/index_config.hpp"
#include "index/metadata_line.hpp"
#include "pir/scheme_metadata.hpp"

namespace {

template <class Record>
void read_and_validate(std::string_view document) {
  auto record = quorvex::read_json<Record>(document);
  if (!record) {
    (void)record.error().describe();
    return;
  }
  if constexpr (requires { record->validate_v0(); }) (void)record->validate_v0();
  if constexpr (requires { record->validate(); }) (void)record->validate();
  if constexpr (requires { record->validate_pir_metadata(); }) (void)record->validate_pir_metadata();
}

// A value with the type of every part (an unsigned and a signed 1 print alike).
std::string typed(const quorvex::Metadata& value) {
  std::string out = std::to_string(static_cast<int>(value.type())) + ":";
  if (!value.is_object()) return out + value.dump();
  for (const auto& [key, item] : value.items()) out += quorvex::Metadata(key).dump() + "=" + typed(item) + ";";
  return out;
}

// The direct scan of a metadata line gives the parser's record, or leaves the line to it.
void same_metadata_record(std::string_view line) {
  const auto scanned = quorvex::scan_compact_metadata_line(line);
  if (!scanned) return;
  const auto parsed = quorvex::read_json<quorvex::IndexMetadataRecord>(line);
  if (!parsed || parsed->record_id != scanned->record_id || parsed->chunk_id != scanned->chunk_id ||
      parsed->document_id != scanned->document_id || parsed->record_sha256 != scanned->record_sha256 ||
      typed(parsed->metadata) != typed(scanned->metadata)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view document = quorvex::fuzz::as_text(data + 1, size - 1);
  switch (data[0] % 6) {
    case 0: read_and_validate<quorvex::BundleManifest>(document); break;
    case 1: read_and_validate<quorvex::ChecksumManifest>(document); break;
    case 2: read_and_validate<quorvex::PirSchemeMetadata>(document); break;
    case 3: read_and_validate<quorvex::IndexConfig>(document); break;
    case 4:
      read_and_validate<quorvex::IndexMetadataRecord>(document);
      same_metadata_record(document);
      break;
    default: read_and_validate<quorvex::ChunkRecord>(document); break;
  }
  return 0;
}
