#include "pir/toy_backend.hpp"

#include "core/text.hpp"
#include "pir/vector_payload.hpp"
#include "simplepir/toy_public_matrix.hpp"

namespace quorvex {

namespace {

using u128 = unsigned __int128;

std::uint64_t add_mod(std::uint64_t a, std::uint64_t b, std::uint64_t q) {
  return static_cast<std::uint64_t>((static_cast<u128>(a) + b) % q);
}

std::uint64_t mul_mod(std::uint64_t a, std::uint64_t b, std::uint64_t q) {
  return static_cast<std::uint64_t>(static_cast<u128>(a) * b % q);
}

}  // namespace

Status ToySimplePirBackend::check_common(const PirParams& params, const Artifact& artifact) {
  QV_TRY(params.validate());
  QV_TRY(require_toy_profile(params));
  QV_TRY(artifact.setup.validate_against(params));
  return validate_toy_hint_length(artifact);
}

Result<QueryMaterial> ToySimplePirBackend::draw_material(const Artifact& artifact, std::uint64_t record_id,
                                                         EntropySource source) {
  QueryMaterial material;
  material.record_id = record_id;
  material.query_seed = QV_TRY(draw_query_seed(source));
  material.secret = QV_TRY(random_secret_vector(artifact.setup.matrix_width, source));
  for (std::uint64_t& value : material.secret) value %= artifact.setup.modulus;
  material.error = QV_TRY(random_error_vector(artifact.setup.record_count, source));
  return material;
}

Result<std::vector<GeneratedQuery>> ToySimplePirBackend::generate_queries_from_material(
    const PirParams& params, const Artifact& artifact, std::vector<QueryMaterial> materials) {
  QV_TRY(check_common(params, artifact));
  const SimplePirSetup& setup = artifact.setup;
  for (const QueryMaterial& material : materials) {
    QV_TRY(check_material(material, params.record_count, "PIR query", setup.matrix_width, setup.record_count));
  }
  const std::uint64_t q = setup.modulus;
  const std::size_t width = setup.matrix_width;
  std::vector<std::vector<std::uint64_t>> vectors(materials.size(), std::vector<std::uint64_t>(setup.record_count));
  std::vector<std::uint64_t> row(width);
  for (std::uint64_t i = 0; i < setup.record_count; ++i) {
    for (std::size_t j = 0; j < width; ++j) row[j] = public_matrix_entry(setup.matrix_seed, i, j);
    for (std::size_t k = 0; k < materials.size(); ++k) {
      const QueryMaterial& material = materials[k];
      std::uint64_t acc = 0;
      for (std::size_t j = 0; j < width; ++j) acc = add_mod(acc, mul_mod(row[j], material.secret[j], q), q);
      const std::int64_t e = material.error[i];
      if (e == -1) acc = add_mod(acc, q - 1, q);
      if (e == 1) acc = add_mod(acc, 1, q);
      if (i == material.record_id) acc = add_mod(acc, setup.delta, q);
      vectors[k][i] = acc;
    }
  }
  return finish_queries(kToyQueryMagic, std::move(materials), vectors);
}

Result<RecordBytes> ToySimplePirBackend::decode_response_record(const PirParams& params,
                                                                              const Artifact& artifact,
                                                                              const PirQueryContext& context,
                                                                              const PirResponse& response) {
  QV_TRY(check_common(params, artifact));
  QV_TRY(check_context_and_response(params, context, response));
  const SimplePirSetup& setup = artifact.setup;
  const std::uint64_t length = setup.record_size_bytes;
  const std::vector<std::uint64_t> answer =
      QV_TRY(decode_vector_payload(kToyResponseMagic, response.payload.bytes, length, "PIR response"));
  const std::uint64_t q = setup.modulus;
  const std::uint64_t width = setup.matrix_width;
  if (width != context.secret.size()) {
    return format_error(concat("vector length mismatch: ", width, " != ", context.secret.size()));
  }
  RecordBytes record(length);
  for (std::uint64_t r = 0; r < length; ++r) {
    std::uint64_t dot = 0;
    for (std::uint64_t j = 0; j < width; ++j) {
      dot = add_mod(dot, mul_mod(artifact.hint[r * width + j], context.secret[j], q), q);
    }
    const u128 noisy = (static_cast<u128>(q - dot) + answer[r]) % q;
    const u128 value = (noisy + setup.delta / 2) / setup.delta % setup.plaintext_modulus;
    record[r] = static_cast<std::uint8_t>(value & 0xFF);
  }
  return record;
}

}  // namespace quorvex
