#include "server/store_shape.hpp"

#include <algorithm>

#include "core/profile_names.hpp"
#include "core/text.hpp"
#include "pir/pir_profiles.hpp"
#include "pir/balanced_layout.hpp"
#include "pir/simplepir_rs_backend.hpp"
#include "pir/vector_payload.hpp"

namespace quorvex {

namespace {

constexpr std::uint64_t kMinRecordSize = 4;  // room for the u32 length prefix of a padded chunk record

// Decoding rounds correctly while the noise of an answer element stays within
// [-floor(delta/2), delta - floor(delta/2) - 1]; `per_term` is the largest
// noise one column can add (errors are -1, 0 or +1).
std::uint64_t most_noise_terms(std::uint64_t delta, std::uint64_t per_term) {
  return (delta - delta / 2 - 1) / per_term;
}

Status check_simplepir_rs_noise(std::uint64_t side) {
  const std::uint64_t p = kSimplePirRsProfileValues.plaintext_modulus;
  const std::uint64_t delta = simplepir_rs_delta(p);
  // |D - half_p| <= half_p for every database entry.
  const std::uint64_t limit = most_noise_terms(delta, p / 2);
  if (side > limit) {
    return format_error(concat("simplepir-rs square side ", side, " exceeds ", limit,
                               ": the answer noise half_p x square_side_len must stay below delta/2 = ", delta / 2));
  }
  return {};
}

Status check_toy_noise(std::uint64_t record_count) {
  const std::uint64_t delta = kToyProfileValues.modulus / kToyProfileValues.plaintext_modulus;
  const std::uint64_t limit = most_noise_terms(delta, 255);  // every database entry is a byte
  if (record_count > limit) {
    return format_error(concat("toy profile holds 1 to ", limit, " records, got ", record_count,
                               ": the answer noise 255 x record_count must stay below delta/2 = ", delta / 2,
                               "; use profile '", kExperimentalProfile, "' for larger stores"));
  }
  return {};
}

}  // namespace

Result<StoreShape> StoreShape::for_store(std::string_view profile, std::uint64_t record_count,
                                         std::uint64_t record_size_bytes) {
  const PirProfile* pir_profile = find_pir_profile(profile);
  if (pir_profile == nullptr) return format_error(concat("unsupported PIR parameter_profile: ", profile));
  if (record_count == 0) return format_error("a PIR store needs at least one record");
  if (record_size_bytes < kMinRecordSize) {
    return format_error(concat("PIR records need at least ", kMinRecordSize, " bytes, got ", record_size_bytes));
  }
  StoreShape shape;
  shape.profile = std::string(profile);
  shape.backend = pir_profile->backend;
  shape.scheme = pir_profile->scheme;
  shape.record_count = record_count;
  shape.record_size_bytes = record_size_bytes;
  shape.columns = record_count;
  switch (pir_profile->backend) {
    case PirBackendKind::Toy:
      QV_TRY(check_toy_noise(record_count));
      shape.lane_rows = record_size_bytes;
      shape.query_length = record_count;
      shape.answer_length = record_size_bytes;
      shape.answer_mask = kToyProfileValues.modulus - 1;
      shape.delta = kToyProfileValues.modulus / kToyProfileValues.plaintext_modulus;
      shape.query_magic = kToyQueryMagic;
      shape.response_magic = kToyResponseMagic;
      break;
    case PirBackendKind::SimplePirRs: {
      shape.lane_rows = record_size_bytes / 2 + record_size_bytes % 2;
      const std::uint64_t side = std::max(record_count, shape.lane_rows);
      QV_TRY(check_simplepir_rs_noise(side));
      shape.query_length = side;
      shape.answer_length = side;
      shape.answer_mask = ~std::uint64_t{0};
      shape.delta = simplepir_rs_delta(kSimplePirRsProfileValues.plaintext_modulus);
      shape.query_magic = kSimplePirRsQueryMagic;
      shape.response_magic = kSimplePirRsResponseMagic;
      break;
    }
    case PirBackendKind::Balanced: {
      const BalancedLayout layout = QV_TRY(BalancedLayout::for_store(record_count, record_size_bytes));
      shape.lane_rows = layout.rows;
      shape.columns = layout.columns;
      shape.records_per_column = layout.records_per_column;
      shape.query_length = layout.columns;
      shape.answer_length = layout.rows;
      shape.answer_mask = 0xFFFFFFFFu;
      shape.delta = kBalancedDelta;
      shape.query_magic = kBalancedQueryMagic;
      shape.response_magic = kBalancedResponseMagic;
      shape.word_bytes = 4;
      break;
    }
  }
  std::uint64_t lane_values = 0, bytes = 0;
  if (__builtin_mul_overflow(shape.lane_rows, shape.columns, &lane_values) ||
      __builtin_mul_overflow(lane_values, std::uint64_t{2}, &bytes)) {
    return format_error(concat("a store of ", record_count, " records of ", record_size_bytes,
                               " bytes is too large to address"));
  }
  return shape;
}

}  // namespace quorvex
