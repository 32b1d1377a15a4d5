// The search arithmetic written the plain way, row by row and position by
// position in 32-bit floats, as the yardstick for the index's exact scores.
// Include only from files compiled with -ffp-contract=off.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

namespace quorvex::testing {

inline float reference_cosine(std::span<const float> query, std::span<const float> row) {
  float dot = 0.0f, qq = 0.0f, rr = 0.0f;
  for (std::size_t j = 0; j < query.size(); ++j) {
    const float qr = query[j] * row[j];
    const float q2 = query[j] * query[j];
    const float r2 = row[j] * row[j];
    dot = dot + qr;
    qq = qq + q2;
    rr = rr + r2;
  }
  if (qq == 0.0f || rr == 0.0f) return 0.0f;
  const float denominator = std::sqrt(qq) * std::sqrt(rr);
  return dot / denominator;
}

// Scores of row-major rows (`dimensions` values each).
inline std::vector<float> reference_scores(std::span<const float> query, std::span<const float> rows) {
  const std::size_t dimensions = query.size();
  std::vector<float> scores(rows.size() / dimensions);
  for (std::size_t i = 0; i < scores.size(); ++i) {
    scores[i] = reference_cosine(query, rows.subspan(i * dimensions, dimensions));
  }
  return scores;
}

// Row positions ordered by score (higher first), then record id: a full
// stable sort. Only for scores without NaN.
inline std::vector<std::size_t> reference_ranking(std::span<const float> scores, std::span<const std::uint64_t> ids) {
  std::vector<std::size_t> order(scores.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (scores[a] != scores[b]) return scores[a] > scores[b];
    return ids[a] < ids[b];
  });
  return order;
}

}  // namespace quorvex::testing
