#include "pir/simplepir_rs_backend.hpp"

#include <algorithm>
#include <bit>

#include "core/profile_names.hpp"
#include "core/secret_vector.hpp"
#include "core/text.hpp"
#include "pir/pir_profiles.hpp"
#include "pir/vector_payload.hpp"
#include "pir/wrapping_dots.hpp"
#include "simplepir/chacha20_rng.hpp"

namespace quorvex {

namespace {

// Rows of the public matrix generated per pass of a batch: small enough to
// stay in cache, large enough to amortise the keystream calls.
constexpr std::size_t kRowsPerBlock = 64;

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
  // Secrets shorter than a row are padded with zeros (checked material never is).
  const std::size_t batch = materials.size();
  SecretVector<std::uint64_t> padded_secrets(batch * columns);
  std::vector<const std::uint64_t*> secrets(batch);
  for (std::size_t k = 0; k < batch; ++k) {
    const auto& secret = materials[k].secret;
    std::copy_n(secret.begin(), std::min(columns, secret.size()), padded_secrets.data() + k * columns);
    secrets[k] = padded_secrets.data() + k * columns;
  }
  ChaCha20Rng generator = ChaCha20Rng::seed_from_u64(setup.server_hint);
  std::vector<std::uint64_t> block(std::min(rows, kRowsPerBlock) * columns);
  SecretVector<std::uint64_t> dots(std::min(rows, kRowsPerBlock) * batch);  // A·s reveals e
  for (std::size_t first = 0; first < rows; first += kRowsPerBlock) {
    const std::size_t count = std::min(kRowsPerBlock, rows - first);
    generator.fill_u64(std::span(block).first(count * columns));
    wrapping_dots(block.data(), count, columns, secrets.data(), batch, dots.data());
    for (std::size_t r = 0; r < count; ++r) {
      const std::size_t i = first + r;
      for (std::size_t k = 0; k < batch; ++k) {
        const QueryMaterial& material = materials[k];
        if (i >= vectors[k].size()) continue;
        const std::uint64_t unit = i == material.record_id ? delta : 0;
        vectors[k][i] = dots[r * batch + k] + (unit + static_cast<std::uint64_t>(material.error[i]));
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
  return finish_queries(kSimplePirRsQueryMagic, std::move(materials), vectors);
}

Result<RecordBytes> SimplePirRsBackend::decode_response_record(const PirParams& params,
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
  RecordBytes record(length);
  const std::uint64_t lanes = std::min<std::uint64_t>(setup.lane_count, answer.size());
  const std::size_t width = artifact.hint.ncols();
  SecretVector<std::uint64_t> secret(width);
  std::copy_n(context.secret.begin(), std::min(width, context.secret.size()), secret.begin());
  const std::uint64_t* secrets[] = {secret.data()};
  SecretVector<std::uint64_t> dots(lanes);
  if (lanes != 0) wrapping_dots(artifact.hint.row(0).data(), lanes, width, secrets, 1, dots.data());
  // The profiles' plaintext modulus is a power of two, and so is delta then:
  // the divisions become shifts and the remainder a mask.
  const bool powers_of_two = std::has_single_bit(delta) && std::has_single_bit(p);
  const int delta_shift = std::countr_zero(delta);
  for (std::uint64_t i = 0; i < lanes; ++i) {
    const std::uint64_t t = delta / 2 + answer[i] - context.query_sum * half_p - dots[i];
    const std::uint64_t v = (powers_of_two ? t >> delta_shift : t / delta) - half_p;
    const std::uint64_t w = (powers_of_two ? v & (p - 1) : v % p) & 0xFFFF;
    if (2 * i < length) record[2 * i] = static_cast<std::uint8_t>(w & 0xFF);
    if (2 * i + 1 < length) record[2 * i + 1] = static_cast<std::uint8_t>(w >> 8);
  }
  return record;
}

}  // namespace quorvex
