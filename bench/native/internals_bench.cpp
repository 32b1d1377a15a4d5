// Internals on synthetic data: the payload codec, the public-matrix generator
// against its keystream, batched query vectors and the exact score kernels.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "index/cosine_scores.hpp"
#include "index/ranking.hpp"
#include "index/vector_table.hpp"
#include "pir/batched_documents.hpp"
#include "pir/payload_codec.hpp"
#include "pir/simplepir_rs_backend.hpp"
#include "pir/vector_payload.hpp"
#include "simplepir/chacha20_rng.hpp"

namespace quorvex::bench {
namespace {

std::vector<std::uint8_t> random_bytes(std::size_t n) {
  std::mt19937_64 generator(11);
  std::vector<std::uint8_t> bytes(n);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

void BM_PayloadEncode(benchmark::State& state) {
  const std::vector<std::uint8_t> bytes = random_bytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text = payload_codec::encode(bytes);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_PayloadEncode)->Arg(8016)->Arg(1 << 20);

void BM_PayloadDecode(benchmark::State& state) {
  const std::vector<std::uint8_t> bytes = random_bytes(static_cast<std::size_t>(state.range(0)));
  const std::string text = payload_codec::encode(bytes);
  for (auto _ : state) {
    auto decoded = payload_codec::decode(text);
    benchmark::DoNotOptimize(decoded->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_PayloadDecode)->Arg(8016)->Arg(1 << 20);

// The simplepir-rs public matrix of `rows` x 64 words through the generator.
void BM_PublicMatrixFill(benchmark::State& state) {
  std::vector<std::uint64_t> values(static_cast<std::size_t>(state.range(0)) * 64);
  for (auto _ : state) {
    ChaCha20Rng generator = ChaCha20Rng::seed_from_u64(42);
    generator.fill_u64(values);
    benchmark::DoNotOptimize(values.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * values.size() * 8));
}
BENCHMARK(BM_PublicMatrixFill)->Arg(1000);

// Query vectors of a batch over a square side of `rows` (one matrix pass).
void BM_QueryVectors(benchmark::State& state) {
  const auto rows = static_cast<std::uint64_t>(state.range(0));
  const auto batch = static_cast<std::size_t>(state.range(1));
  SimplePirRsSetup setup;
  setup.record_count = rows;
  setup.record_size_bytes = 1024;
  setup.lane_count = 512;
  setup.square_side_len = rows;
  setup.secret_dimension = 64;
  setup.mod_power = 17;
  setup.plaintext_modulus = 131072;
  setup.setup_seed = 1;
  setup.server_hint = 99;
  std::mt19937_64 generator(5);
  std::vector<QueryMaterial> materials(batch);
  for (std::size_t k = 0; k < batch; ++k) {
    materials[k].record_id = k;
    materials[k].query_seed = k + 1;
    materials[k].secret = SecretVector<std::uint64_t>(64);
    for (auto& value : materials[k].secret) value = generator();
    materials[k].error = SecretVector<std::int64_t>(rows);
    for (auto& value : materials[k].error) value = static_cast<std::int64_t>(generator() % 3) - 1;
  }
  for (auto _ : state) {
    auto vectors = simplepir_rs_query_vectors(setup, materials);
    benchmark::DoNotOptimize(vectors.data());
  }
}
BENCHMARK(BM_QueryVectors)->Args({1000, 4})->Unit(benchmark::kMicrosecond);

VectorTable random_table(std::size_t rows, std::size_t dimensions) {
  std::mt19937 generator(3);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> values(rows, std::vector<float>(dimensions));
  for (auto& row : values) {
    for (float& value : row) value = normal(generator);
  }
  return std::move(VectorTable::create(dimensions, values).value());
}

void BM_CosineScores(benchmark::State& state) {
  const auto rows = static_cast<std::size_t>(state.range(0));
  const VectorTable table = random_table(rows, 384);
  const std::vector<float> norms = row_norms(table);
  const std::vector<float> query = table.row(0);
  std::vector<float> scores(table.row_count());
  const auto kernel = static_cast<ScoreKernel>(state.range(1));
  if (!score_kernel_available(kernel)) {
    state.SkipWithError("kernel not available on this processor");
    return;
  }
  for (auto _ : state) {
    cosine_scores(table, norms, query, scores, kernel);
    benchmark::DoNotOptimize(scores.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * rows * 384 * 4));
}
// Second argument: 0 portable, 1 AVX2, 2 AVX-512.
BENCHMARK(BM_CosineScores)->ArgsProduct({{1000, 10000, 100000}, {1, 2}})->Unit(benchmark::kMicrosecond);

void BM_SelectTopK(benchmark::State& state) {
  const auto rows = static_cast<std::size_t>(state.range(0));
  std::mt19937 generator(9);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> scores(rows);
  std::vector<std::uint64_t> ids(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    scores[i] = uniform(generator);
    ids[i] = i;
  }
  for (auto _ : state) {
    auto best = select_top_k(scores, ids, 10);
    benchmark::DoNotOptimize(best.data());
  }
}
BENCHMARK(BM_SelectTopK)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvex::bench

namespace quorvex::bench {
namespace {

// A response document of four 1000-word answers, as the server writes it.
std::string response_document() {
  std::vector<std::uint64_t> answer(1000);
  std::mt19937_64 generator(13);
  for (auto& value : answer) value = generator();
  const std::string payload = payload_codec::encode(encode_vector_payload(kSimplePirRsResponseMagic, answer));
  std::string document = R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","retrieval_count":4,"responses":[)";
  for (int k = 0; k < 4; ++k) {
    if (k != 0) document += ',';
    document += R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":")" + payload + R"("})";
  }
  return document + "]}";
}

void BM_ParseResponseDocument(benchmark::State& state) {
  const std::string document = response_document();
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(document.data()), document.size());
  for (auto _ : state) {
    auto response = BatchedPirResponse::from_json_slice(bytes);
    if (!response) {
      state.SkipWithError(response.error().display().c_str());
      return;
    }
    benchmark::DoNotOptimize(response->responses.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}
BENCHMARK(BM_ParseResponseDocument)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvex::bench
