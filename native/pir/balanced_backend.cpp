#include "pir/balanced_backend.hpp"

#include <algorithm>

#include "core/secret_vector.hpp"
#include "pir/keyed_stream.hpp"
#include "pir/record_digits.hpp"
#include "pir/vector_payload.hpp"
#include "pir/wrapping_dots.hpp"
#include "simplepir/word_public_matrix.hpp"

namespace quorvex {

namespace {

// Rows of the public matrix generated per pass of a batch (360 KiB at 1408 words a row).
constexpr std::size_t kRowsPerBlock = 64;
// Stored digits are 0 .. 511: the centred digit plus 256.
constexpr std::uint32_t kDigitOffset = 256;

// The secrets of a batch (of query materials or contexts) as contiguous
// 32-bit words (checked material holds values below 2^32).
template <class Secrets>
SecretVector<std::uint32_t> secret_words(std::span<const Secrets> batch, std::size_t width) {
  SecretVector<std::uint32_t> words(batch.size() * width);
  for (std::size_t k = 0; k < batch.size(); ++k) {
    const auto& secret = batch[k].secret;
    for (std::size_t j = 0; j < std::min(width, secret.size()); ++j) {
      words[k * width + j] = static_cast<std::uint32_t>(secret[j]);
    }
  }
  return words;
}

// The stored digit (0 .. 511) of one answer element: the element less the
// offset's share 256·sum(c) and the hint row's H_i·s, rounded to a multiple
// of delta.
std::uint16_t rounded_digit(std::uint32_t answer, std::uint32_t query_sum, std::uint32_t hint_dot) {
  const std::uint32_t noisy = answer - kDigitOffset * query_sum - hint_dot;
  const std::uint32_t centred = (noisy + kBalancedDelta / 2) >> (32 - kBalancedDigitBits);
  return static_cast<std::uint16_t>((centred + kDigitOffset) & ((1u << kBalancedDigitBits) - 1));
}

// The words of a response: one per row of the store.
Result<std::vector<std::uint32_t>> answer_words(const BalancedLayout& layout, const PirResponse& response) {
  return decode_vector_payload<std::uint32_t>(kBalancedResponseMagic, response.payload.bytes, layout.rows,
                                              "balanced PIR response");
}

}  // namespace

Status BalancedBackend::check_common(const PirParams& params, const Artifact& artifact) {
  QV_TRY(params.validate());
  QV_TRY(require_balanced_profile(params));
  QV_TRY(artifact.setup.validate_against(params));
  return validate_balanced_hint_shape(artifact);
}

Result<QueryMaterial> BalancedBackend::draw_material(const Artifact& artifact, std::uint64_t record_id,
                                                     EntropySource source) {
  QueryMaterial material;
  material.record_id = record_id;
  material.query_seed = QV_TRY(draw_query_seed(source));
  KeyedStream stream = QV_TRY(KeyedStream::keyed_by(source));
  material.secret = stream.words(artifact.setup.secret_dimension);
  for (std::uint64_t& value : material.secret) value &= 0xFFFFFFFFu;  // uniform modulo 2^32
  material.error = centred_binomial_vector(stream, artifact.setup.layout.columns);
  return material;
}

std::vector<std::vector<std::uint32_t>> balanced_query_vectors(const BalancedSetup& setup,
                                                               std::span<const QueryMaterial> materials) {
  const std::size_t columns = setup.layout.columns;
  const std::size_t width = setup.secret_dimension;
  const std::size_t batch = materials.size();
  std::vector<std::vector<std::uint32_t>> vectors(batch, std::vector<std::uint32_t>(columns));
  const SecretVector<std::uint32_t> secrets = secret_words(materials, width);
  std::vector<const std::uint32_t*> secret_rows(batch);
  for (std::size_t k = 0; k < batch; ++k) secret_rows[k] = secrets.data() + k * width;
  WordPublicMatrix matrix(setup.matrix_key, width);
  std::vector<std::uint32_t> block(std::min(columns, kRowsPerBlock) * width);
  SecretVector<std::uint32_t> dots(std::min(columns, kRowsPerBlock) * batch);  // A·s reveals e
  for (std::size_t first = 0; first < columns; first += kRowsPerBlock) {
    const std::size_t count = std::min(kRowsPerBlock, columns - first);
    matrix.rows(first, std::span(block).first(count * width));
    wrapping_dots(block.data(), count, width, secret_rows.data(), batch, dots.data());
    for (std::size_t r = 0; r < count; ++r) {
      const std::size_t column = first + r;
      for (std::size_t k = 0; k < batch; ++k) {
        const QueryMaterial& material = materials[k];
        const std::uint32_t unit = column == setup.layout.column_of(material.record_id) ? kBalancedDelta : 0;
        vectors[k][column] = dots[r * batch + k] + static_cast<std::uint32_t>(material.error[column]) + unit;
      }
    }
  }
  return vectors;
}

Result<std::vector<GeneratedQuery>> BalancedBackend::generate_queries_from_material(
    const PirParams& params, const Artifact& artifact, std::vector<QueryMaterial> materials) {
  QV_TRY(check_common(params, artifact));
  const BalancedSetup& setup = artifact.setup;
  for (const QueryMaterial& material : materials) {
    QV_TRY(check_material(material, params.record_count, "balanced query", setup.secret_dimension,
                          setup.layout.columns));
    if (std::ranges::any_of(material.secret, [](std::uint64_t value) { return value > 0xFFFFFFFFu; })) {
      return format_error("balanced query secret values must be below 2^32");
    }
  }
  const std::vector<std::vector<std::uint32_t>> vectors = balanced_query_vectors(setup, materials);
  std::vector<GeneratedQuery> generated = finish_queries(kBalancedQueryMagic, std::move(materials), vectors);
  for (GeneratedQuery& query : generated) query.query.scheme = PirScheme::SimplePirBalancedLweV1;
  return generated;
}

Result<RecordBytes> BalancedBackend::decode_response_record(const PirParams& params, const Artifact& artifact,
                                                            const PirQueryContext& context,
                                                            const PirResponse& response) {
  QV_TRY(check_common(params, artifact));
  QV_TRY(check_context_and_response(params, context, response));
  const BalancedSetup& setup = artifact.setup;
  const BalancedLayout& layout = setup.layout;
  const std::vector<std::uint32_t> answer = QV_TRY(answer_words(layout, response));
  const std::size_t width = setup.secret_dimension;
  const std::size_t digits = layout.digits_per_record;
  const std::size_t first = layout.first_row_of(context.record_id);
  const SecretVector<std::uint32_t> words = secret_words(std::span<const PirQueryContext>(&context, 1), width);
  const std::uint32_t* secrets[] = {words.data()};
  SecretVector<std::uint32_t> dots(digits);
  wrapping_dots(artifact.hint.data() + first * width, digits, width, secrets, 1, dots.data());
  SecretVector<std::uint16_t> record_digits(digits);
  for (std::size_t t = 0; t < digits; ++t) {
    record_digits[t] = rounded_digit(answer[first + t], static_cast<std::uint32_t>(context.query_sum), dots[t]);
  }
  RecordBytes record(layout.record_size_bytes);
  digits_to_record(record_digits, record);
  return record;
}

Result<DecodedColumns> BalancedBackend::decode_response_columns(const PirParams& params, const Artifact& artifact,
                                                                std::span<const PirQueryContext> contexts,
                                                                std::span<const PirResponse> responses) {
  QV_TRY(check_common(params, artifact));
  const BalancedSetup& setup = artifact.setup;
  const BalancedLayout& layout = setup.layout;
  const std::size_t batch = contexts.size();
  std::vector<std::vector<std::uint32_t>> answers;
  answers.reserve(batch);
  for (std::size_t k = 0; k < batch; ++k) {
    QV_TRY(check_context_and_response(params, contexts[k], responses[k]));
    answers.push_back(QV_TRY(answer_words(layout, responses[k])));
  }
  // H·s of every row for every query of the batch: one pass over the hint,
  // each row read once for all the secrets.
  const std::size_t width = setup.secret_dimension;
  const std::size_t rows = layout.rows;
  const SecretVector<std::uint32_t> words = secret_words(contexts, width);
  std::vector<const std::uint32_t*> secrets(batch);
  for (std::size_t k = 0; k < batch; ++k) secrets[k] = words.data() + k * width;
  SecretVector<std::uint32_t> dots(rows * batch);
  wrapping_dots(artifact.hint.data(), rows, width, secrets.data(), batch, dots.data());
  DecodedColumns columns{.records_per_column = layout.records_per_column,
                         .record_size_bytes = layout.record_size_bytes,
                         .bytes = RecordBytes(batch * layout.records_per_column * layout.record_size_bytes)};
  SecretVector<std::uint16_t> column_digits(rows);
  for (std::size_t k = 0; k < batch; ++k) {
    const auto sum = static_cast<std::uint32_t>(contexts[k].query_sum);
    for (std::size_t t = 0; t < rows; ++t) column_digits[t] = rounded_digit(answers[k][t], sum, dots[t * batch + k]);
    for (std::uint64_t slot = 0; slot < layout.records_per_column; ++slot) {
      digits_to_record(std::span(column_digits).subspan(slot * layout.digits_per_record, layout.digits_per_record),
                       columns.record(k, slot));
    }
  }
  return columns;
}

}  // namespace quorvex
