// The public cache that the cache-level benchmarks use: the directory named by
// the QUORVEX_BENCH_CACHE environment variable (bench/run.sh publishes one).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace quorvex::bench {

// The cache directory, or nullopt after marking the benchmark skipped.
inline std::optional<std::filesystem::path> bench_cache_dir(benchmark::State& state) {
  const char* dir = std::getenv("QUORVEX_BENCH_CACHE");
  if (dir == nullptr || *dir == '\0') {
    state.SkipWithError("set QUORVEX_BENCH_CACHE to a public cache directory");
    return std::nullopt;
  }
  return std::filesystem::path(dir);
}

}  // namespace quorvex::bench
