#include "embed/bert_activations.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "core/target_clones.hpp"

namespace quorvex {

namespace {

// e^x for x in [-80, 88.3] (clamped there, so that no result is subnormal, which
// is slow on many processors) to about one unit in the last
// place: x = n ln 2 + r with |r| <= ln 2 / 2, e^r by a polynomial, 2^n put
// into the exponent bits. Branch-free, so that loops of it vectorise.
[[gnu::always_inline]] inline float exp_of(float x) {
  x = x < -80.0f ? -80.0f : x;
  x = x > 88.3f ? 88.3f : x;
  constexpr float kRound = 12582912.0f;  // 1.5 * 2^23: adding it rounds to an integer
  const float n = (x * 1.44269504088896341f + kRound) - kRound;
  float r = x - n * 0.693359375f;  // ln 2 in two parts; n times the first is exact
  r = r - n * -2.12194440e-4f;
  float p = 1.9875691500e-4f;
  p = p * r + 1.3981999507e-3f;
  p = p * r + 8.3334519073e-3f;
  p = p * r + 4.1665795894e-2f;
  p = p * r + 1.6666665459e-1f;
  p = p * r + 5.0000001201e-1f;
  p = p * r * r + r + 1.0f;
  const float scale = std::bit_cast<float>((static_cast<std::int32_t>(n) + 127) << 23);
  return p * scale;
}

// GELU(x) = max(x, 0) - |x|/2 P(t) exp(-x^2/2) with t = 1 / (1 + p |x| / sqrt 2), which is
// x/2 (1 + erf(x / sqrt 2)) with erf(z) = 1 - P(t) exp(-z^2) for z >= 0; the 1/2 is in P's
// coefficients and the 1 / sqrt 2 in p.
[[gnu::always_inline]] inline float gelu_of(float x) {
  const float size = std::fabs(x);
  const float t = 1.0f / (1.0f + 0.2316418883f * size);
  float p = 0.5307027145f * t;
  p = (p - 0.7265760135f) * t;
  p = (p + 0.7107068705f) * t;
  p = (p - 0.1422483680f) * t;
  p = (p + 0.1274147960f) * t;
  return (x > 0.0f ? x : 0.0f) - size * (p * exp_of(-0.5f * x * x));
}

constexpr std::size_t kLanes = 16;

// max, sum and scaling of one row, with the reductions in kLanes fixed partial
// results, so that they vectorise and sum in the same order on every kernel.
[[gnu::always_inline]] inline void softmax_row(float* row, std::size_t length) {
  float partial[kLanes];
  std::fill_n(partial, kLanes, row[0]);
  const std::size_t whole = length - length % kLanes;
  for (std::size_t i = 0; i < whole; i += kLanes) {
    for (std::size_t k = 0; k < kLanes; ++k) partial[k] = std::max(partial[k], row[i + k]);
  }
  float largest = row[0];
  for (const float value : partial) largest = std::max(largest, value);
  for (std::size_t i = whole; i < length; ++i) largest = std::max(largest, row[i]);
  for (std::size_t i = 0; i < length; ++i) row[i] = exp_of(row[i] - largest);
  std::fill_n(partial, kLanes, 0.0f);
  for (std::size_t i = 0; i < whole; i += kLanes) {
    for (std::size_t k = 0; k < kLanes; ++k) partial[k] += row[i + k];
  }
  float sum = 0.0f;
  for (const float value : partial) sum += value;
  for (std::size_t i = whole; i < length; ++i) sum += row[i];
  const float inverse = 1.0f / sum;
  for (std::size_t i = 0; i < length; ++i) row[i] *= inverse;
}

}  // namespace

QUORVEX_CLONED void gelu_in_place(std::span<float> values) {
  float* data = values.data();
  const std::size_t count = values.size();
  for (std::size_t i = 0; i < count; ++i) data[i] = gelu_of(data[i]);
}

QUORVEX_CLONED void softmax_rows_in_place(std::span<float> values, std::size_t row_length) {
  if (row_length == 0) return;
  for (std::size_t first = 0; first + row_length <= values.size(); first += row_length) {
    softmax_row(values.data() + first, row_length);
  }
}

}  // namespace quorvex
