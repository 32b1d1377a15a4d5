// Search time measurement, not a test: run on a release build with
//   index_tests --gtest_also_run_disabled_tests --gtest_filter='*SearchBenchmark*'
// It compares LocalIndex::search_cosine (top 10) with the plain scalar loop of
// the same arithmetic (this file is compiled -O2 -ffp-contract=off), alone and
// followed by a full stable sort of all hits.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "index/local_index.hpp"
#include "index/random_vectors.hpp"
#include "index/reference_cosine.hpp"
#include "support/index_files.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

// Median wall time of `runs` calls, in microseconds.
template <class Body>
double median_microseconds(int runs, Body&& body) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    body(run);
    times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void measure(std::size_t rows, std::size_t dimensions, int runs) {
  const std::vector<float> values = testing::random_row_major(rows, dimensions, 1);
  std::vector<std::uint64_t> ids(rows);
  for (std::size_t i = 0; i < rows; ++i) ids[i] = i;
  testing::CacheBuilder cache;
  testing::add_index(cache, testing::split_rows(values, dimensions));
  testing::TempDir dir;
  cache.write(dir.path());

  const auto load_start = std::chrono::steady_clock::now();
  const LocalIndex index = LocalIndex::load_verified_from_public_cache(dir.path()).value();
  const double load_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - load_start).count();

  std::vector<std::vector<float>> queries;
  for (int run = 0; run < runs; ++run) {
    queries.push_back(testing::random_row_major(1, dimensions, static_cast<std::uint32_t>(100 + run)));
  }
  float sink = 0.0f;
  const double fast = median_microseconds(runs, [&](int run) {
    sink += index.search_cosine(queries[static_cast<std::size_t>(run)], 10).value().front().score;
  });
  const double scalar = median_microseconds(runs, [&](int run) {
    sink += testing::reference_scores(queries[static_cast<std::size_t>(run)], values).back();
  });
  const double scalar_sorted = median_microseconds(runs, [&](int run) {
    const auto scores = testing::reference_scores(queries[static_cast<std::size_t>(run)], values);
    sink += scores[testing::reference_ranking(scores, ids).front()];
  });
  std::printf("%zu x %zu (load %.1f ms): search_cosine top 10 %.1f us; plain loop %.1f us (%.1fx); "
              "plain loop + full stable sort %.1f us (%.1fx) [%g]\n",
              rows, dimensions, load_ms, fast, scalar, scalar / fast, scalar_sorted, scalar_sorted / fast,
              static_cast<double>(sink != 0.0f));
}

TEST(SearchBenchmark, DISABLED_TopTenOf384Dimensions) {
  measure(1000, 384, 201);
  measure(100000, 384, 21);
}

}  // namespace
}  // namespace quorvex
