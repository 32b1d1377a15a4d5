#include "client/balanced_size_envelope.hpp"

#include <array>
#include <optional>
#include <string_view>

#include "core/bundle_paths.hpp"
#include "core/profile_names.hpp"
#include "core/size_envelope.hpp"
#include "core/text.hpp"
#include "pir/balanced_layout.hpp"
#include "pir/pir_profiles.hpp"

namespace quorvex {

namespace {

// n * size + header, or no value where it overflows.
std::optional<std::uint64_t> table_bytes(std::uint64_t n, std::uint64_t size, std::uint64_t header) {
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(n, size, &bytes) || __builtin_add_overflow(bytes, header, &bytes)) return std::nullopt;
  return bytes;
}

}  // namespace

Status validate_balanced_cache_sizes(const BundleManifest& manifest, const std::filesystem::path& root) {
  if (!is_balanced_manifest(manifest)) return {};
  const BalancedLayout layout = QV_TRY(BalancedLayout::for_store(manifest.pir_record_count,
                                                                 manifest.pir_record_size_bytes));
  std::uint64_t rows_values = 0;
  const bool fits = !__builtin_mul_overflow(layout.rows, kBalancedProfileValues.matrix_width, &rows_values);
  const std::array<std::pair<std::string_view, std::optional<std::uint64_t>>, 3> expected{{
      // magic, u32 dimensions, u64 count, then float32 rows; magic, u64 count, then u64 ids;
      // magic, seven u64 setup values and a 32-byte key, then u32 hint values.
      {kVectorsFile, table_bytes(manifest.chunk_count, 4 * manifest.embedding_dimensions, 20)},
      {kIdsFile, table_bytes(manifest.chunk_count, 8, 16)},
      {kPirClientHintFile, fits ? table_bytes(rows_values, 4, 96) : std::nullopt},
  }};
  for (const auto& [file, bytes] : expected) {
    const std::string_view paths[] = {file};
    const std::uint64_t actual = QV_TRY(relative_files_size_bytes(root, paths));
    if (!bytes || actual != *bytes) {
      return format_error(concat("PIR parameter_profile ", kBalancedProfile, " requires ", file, " of ",
                                 bytes ? concat(*bytes) : std::string("more than 2^64"), " bytes for its manifest, got ",
                                 actual));
    }
  }
  return {};
}

}  // namespace quorvex
