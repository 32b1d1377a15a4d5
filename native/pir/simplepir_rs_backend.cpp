#include "pir/simplepir_rs_backend.hpp"

#include <algorithm>

#include "core/profile_names.hpp"
#include "core/text.hpp"
#include "pir/pir_profiles.hpp"
#include "pir/vector_payload.hpp"
#include "simplepir/chacha20_rng.hpp"

namespace quorvex {

namespace {

// Rows of the public matrix generated per pass of a batch: small enough to
// stay in cache, large enough to amortise the keystream calls.
constexpr std::size_t kRowsPerBlock = 64;

std::uint64_t wrapping_dot(std::span<const std::uint64_t> row, std::span<const std::uint64_t> secret) {
  std::uint64_t dot = 0;
  const std::size_t length = std::min(row.size(), secret.size());
  for (std::size_t j = 0; j < length; ++j) dot += row[j] * secret[j];
  return dot;
}

}  // namespace

std::uint64_t simplepir_rs_delta(std::uint64_t plaintext_modulus) {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(1) << 64) / plaintext_modulus);
}

Result<SimplePirRsBackend> SimplePirRsBackend::for_params(const PirParams& params) {
  if (!is_simplepir_rs_parameter_profile(params.parameter_profile)) {
    return format_error(concat("unsupported PIR parameter_profile: ", params.parameter_profile));
  }
  QV_TRY(params.validate());
  if (params.parameter_profile == kSupportedProfile) return SimplePirRsBackend(kSupportedProfile, kSupportedStatus);
  return SimplePirRsBackend(kExperimentalProfile, kExperimentalStatus);
}

Status SimplePirRsBackend::check_common(const PirParams& params, const Artifact& artifact) {
  QV_TRY(params.validate());
  QV_TRY(require_simplepir_rs_profile(params));
  QV_TRY(artifact.setup.validate_against(params));
  return validate_simplepir_rs_hint_shape(artifact);
}

Result<QueryMaterial> SimplePirRsBackend::draw_material(const Artifact& artifact, std::uint64_t record_id,
                                                        EntropySource source) {
  QueryMaterial material;
  material.record_id = record_id;
  material.query_seed = QV_TRY(draw_query_seed(source));
  material.secret = QV_TRY(random_secret_vector(artifact.setup.secret_dimension, source));
  material.error = QV_TRY(random_error_vector(artifact.setup.square_side_len, source));
  return material;
}

std::vector<std::vector<std::uint64_t>> simplepir_rs_query_vectors(const SimplePirRsSetup& setup,
                                                                   std::span<const QueryMaterial> materials) {
  const std::size_t rows = setup.square_side_len;
  const std::size_t columns = setup.secret_dimension;
  const std::uint64_t delta = simplepir_rs_delta(setup.plaintext_modulus);
  std::vector<std::vector<std::uint64_t>> vectors(materials.size());
  for (std::size_t k = 0; k < materials.size(); ++k) {
    vectors[k].resize(std::min(rows, materials[k].error.size()));
  }
  ChaCha20Rng generator = ChaCha20Rng::seed_from_u64(setup.server_hint);
  std::vector<std::uint64_t> block(std::min(rows, kRowsPerBlock) * columns);
  for (std::size_t first = 0; first < rows; first += kRowsPerBlock) {
    const std::size_t count = std::min(kRowsPerBlock, rows - first);
    generator.fill_u64(std::span(block).first(count * columns));
    for (std::size_t r = 0; r < count; ++r) {
      const std::size_t i = first + r;
      const std::span<const std::uint64_t> row = std::span(block).subspan(r * columns, columns);
      for (std::size_t k = 0; k < materials.size(); ++k) {
        const QueryMaterial& material = materials[k];
        if (i >= vectors[k].size()) continue;
        const std::uint64_t unit = i == material.record_id ? delta : 0;
        vectors[k][i] = wrapping_dot(row, material.secret) + (unit + static_cast<std::uint64_t>(material.error[i]));
      }
    }
  }
  return vectors;
}

Result<std::vector<GeneratedQuery>> SimplePirRsBackend::generate_queries_from_material(
    const PirParams& params, const Artifact& artifact, std::vector<QueryMaterial> materials) {
  QV_TRY(check_common(params, artifact));
  const SimplePirRsSetup& setup = artifact.setup;
  for (const QueryMaterial& material : materials) {
    QV_TRY(check_material(material, params.record_count, "simplepir-rs query", setup.secret_dimension,
                          setup.square_side_len));
  }
  const std::vector<std::vector<std::uint64_t>> vectors = simplepir_rs_query_vectors(setup, materials);
  std::vector<GeneratedQuery> generated;
  generated.reserve(materials.size());
  for (std::size_t k = 0; k < materials.size(); ++k) {
    generated.push_back(finish_query(kSimplePirRsQueryMagic, std::move(materials[k]), vectors[k]));
  }
  return generated;
}

Result<std::vector<std::uint8_t>> SimplePirRsBackend::decode_response_record(const PirParams& params,
                                                                             const Artifact& artifact,
                                                                             const PirQueryContext& context,
                                                                             const PirResponse& response) {
  QV_TRY(check_common(params, artifact));
  QV_TRY(check_context_and_response(params, context, response));
  const SimplePirRsSetup& setup = artifact.setup;
  const std::vector<std::uint64_t> answer = QV_TRY(decode_vector_payload(
      kSimplePirRsResponseMagic, response.payload.bytes, setup.square_side_len, "simplepir-rs PIR response"));
  const std::uint64_t p = setup.plaintext_modulus;
  const std::uint64_t delta = simplepir_rs_delta(p);
  const std::uint64_t half_p = p / 2;
  const std::uint64_t length = setup.record_size_bytes;
  std::vector<std::uint8_t> record(length);
  const std::uint64_t lanes = std::min<std::uint64_t>(setup.lane_count, answer.size());
  for (std::uint64_t i = 0; i < lanes; ++i) {
    const std::uint64_t dot = wrapping_dot(artifact.hint.row(i), context.secret);
    const std::uint64_t t = delta / 2 + answer[i] - context.query_sum * half_p - dot;
    const std::uint64_t v = t / delta - half_p;
    const std::uint64_t w = (v % p) & 0xFFFF;
    if (2 * i < length) record[2 * i] = static_cast<std::uint8_t>(w & 0xFF);
    if (2 * i + 1 < length) record[2 * i + 1] = static_cast<std::uint8_t>(w >> 8);
  }
  return record;
}

}  // namespace quorvex
