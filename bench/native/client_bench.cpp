// The client's cache-level operations without the Python layer: opening a
// public cache and preparing a retrieval (top_k 2 padded to 4 queries).
#include <random>
#include <vector>

#include "bench_cache.hpp"
#include "client/quorvex_client.hpp"

namespace quorvex::bench {
namespace {

void BM_OpenPublicCache(benchmark::State& state) {
  const auto dir = bench_cache_dir(state);
  if (!dir) return;
  for (auto _ : state) {
    auto client = QuorvexClient::open_public_cache(*dir);
    if (!client) {
      state.SkipWithError(client.error().display().c_str());
      return;
    }
    benchmark::DoNotOptimize(client);
  }
}
BENCHMARK(BM_OpenPublicCache)->Unit(benchmark::kMicrosecond);

void BM_PrepareRetrieval(benchmark::State& state) {
  const auto dir = bench_cache_dir(state);
  if (!dir) return;
  auto client = QuorvexClient::open_public_cache(*dir);
  if (!client) {
    state.SkipWithError(client.error().display().c_str());
    return;
  }
  std::mt19937 generator(7);
  std::normal_distribution<float> normal;
  std::vector<float> query(client->index().dimensions());
  for (float& value : query) value = normal(generator);
  const RetrievalConfig config{2, 4};
  for (auto _ : state) {
    auto prepared = client->prepare_retrieval_query_json(query, config);
    if (!prepared) {
      state.SkipWithError(prepared.error().display().c_str());
      return;
    }
    benchmark::DoNotOptimize(prepared);
  }
}
BENCHMARK(BM_PrepareRetrieval)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvex::bench
