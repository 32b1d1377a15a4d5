#include "client/quorvex_client.hpp"

#include <gtest/gtest.h>

#include <random>

#include "pir/payload_codec.hpp"
#include "pir/vector_payload.hpp"
#include "support/cache_builder.hpp"
#include "support/index_files.hpp"
#include "support/reference_server.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using testing::CacheBuilder;

testing::Rows random_rows(std::size_t count, std::size_t dimensions, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::normal_distribution<float> normal;
  testing::Rows rows(count, std::vector<float>(dimensions));
  for (auto& row : rows) {
    for (auto& value : row) value = normal(engine);
  }
  return rows;
}

// A complete cache of `profile` whose PIR store holds chunk records, with the
// reference server that answers for it.
struct Published {
  CacheBuilder cache;
  testing::Rows rows;
  std::optional<testing::ToyServer> toy;
  std::optional<testing::SimplePirRsServer> rs;

  Published(std::string_view profile, std::size_t count, std::size_t record_size, std::size_t dimensions)
      : rows(random_rows(count, dimensions, 7)) {
    cache.manifest = testing::manifest_json(profile, count, record_size, dimensions);
    testing::add_index(cache, rows);
    cache.files["pir/scheme.json"] = testing::scheme_json(profile, count, record_size).dump();
    testing::Records records = testing::chunk_records(count, record_size);
    if (profile == "toy-development-only-v0") {
      toy.emplace(std::move(records), 99);
      cache.files["pir/client_hint.bin"] = testing::toy_hint_file(toy->artifact).text();
    } else {
      rs.emplace(std::move(records), 1234);
      cache.files["pir/client_hint.bin"] = testing::simplepir_rs_hint_file(rs->artifact).text();
    }
  }

  // The server's response document to a query document.
  std::vector<std::uint8_t> answer(const std::vector<std::uint8_t>& query_json) const {
    const auto query = nlohmann::json::parse(query_json);
    nlohmann::ordered_json response = {{"protocol_version", 1},
                                       {"scheme", "simplepir-lwe-v0"},
                                       {"retrieval_count", query["retrieval_count"]},
                                       {"responses", nlohmann::ordered_json::array()}};
    for (const auto& item : query["queries"]) {
      const auto bytes = payload_codec::decode(item["payload"].get<std::string>()).value();
      std::vector<std::uint64_t> answer;
      if (toy) {
        answer = toy->answer(decode_vector_payload(kToyQueryMagic, bytes, toy->records.size(), "q").value());
      } else {
        answer = rs->answer(
            decode_vector_payload(kSimplePirRsQueryMagic, bytes, rs->artifact.setup.square_side_len, "q").value());
      }
      const auto framed = encode_vector_payload(toy ? kToyResponseMagic : kSimplePirRsResponseMagic, answer);
      response["responses"].push_back(
          {{"protocol_version", 1}, {"scheme", "simplepir-lwe-v0"}, {"payload", payload_codec::encode(framed)}});
    }
    const std::string text = response.dump();
    return {text.begin(), text.end()};
  }
};

class OpenedCache : public ::testing::Test {
 protected:
  Result<QuorvexClient> open(const Published& published) {
    published.cache.write(dir_.path());
    return QuorvexClient::open_public_cache(dir_.path());
  }
  std::string root() const { return dir_.path().string(); }
  testing::TempDir dir_;
};

TEST_F(OpenedCache, FullSizeSupportedRetrievalRoundTrip) {
  const Published published("simplepir-rs-v0-1000-1k", 1000, 1024, 384);
  const QuorvexClient client = open(published).value();
  const std::vector<float>& query = published.rows[417];
  const auto prepared = client.prepare_retrieval_query_json(query, RetrievalConfig{2, 4}).value();
  EXPECT_EQ(prepared.prepared.visible_result_count, 2u);
  EXPECT_EQ(prepared.prepared.search_results[0].record_id, 417u);
  const auto response = published.answer(prepared.query_json);
  for (int attempt = 0; attempt < 2; ++attempt) {  // a prepared retrieval decodes any number of times
    const auto chunks = client.decode_retrieval_response_json(prepared.prepared, response);
    ASSERT_TRUE(chunks.has_value()) << chunks.error().display();
    ASSERT_EQ(chunks->size(), 2u);
    EXPECT_EQ((*chunks)[0].text, "text 417");
    EXPECT_EQ((*chunks)[1].record_id, prepared.prepared.search_results[1].record_id);
  }
}

TEST_F(OpenedCache, ToyStoreSmallerThanTopKPadsAndShowsOnlyHits) {
  const Published published("toy-development-only-v0", 1, 128, 5);
  const QuorvexClient client = open(published).value();
  const auto prepared = client.prepare_retrieval_query_json(published.rows[0], RetrievalConfig{2, 4}).value();
  EXPECT_EQ(prepared.prepared.visible_result_count, 1u);
  EXPECT_EQ(prepared.prepared.query.queries.size(), 4u);
  const auto chunks = client.decode_retrieval_response_json(prepared.prepared, published.answer(prepared.query_json));
  ASSERT_TRUE(chunks.has_value()) << chunks.error().display();
  ASSERT_EQ(chunks->size(), 1u);
  EXPECT_EQ((*chunks)[0].chunk_id, "c0");
}

TEST_F(OpenedCache, SearchIsTheIndexSearch) {
  const Published published("toy-development-only-v0", 6, 128, 5);
  const QuorvexClient client = open(published).value();
  EXPECT_TRUE(client.search(published.rows[2], 0).value().empty());
  EXPECT_EQ(client.search(published.rows[2], 1).value()[0].record_id, 2u);
  EXPECT_EQ(client.search(std::vector<float>(4, 1.0f), 0).error().display(),
            "format error: query has 4 dimensions, expected 5");
  // The same top_k that search accepts is refused by a retrieval.
  EXPECT_EQ(client.prepare_retrieval(published.rows[2], RetrievalConfig{0, 4}).error().display(),
            "format error: top_k must be greater than zero");
}

TEST_F(OpenedCache, OpenedClientIgnoresLaterChangesOnDisk) {
  const Published published("toy-development-only-v0", 6, 128, 5);
  const QuorvexClient client = open(published).value();
  std::filesystem::remove_all(dir_.path() / "index");
  EXPECT_EQ(client.search(published.rows[3], 1).value()[0].record_id, 3u);
}

TEST_F(OpenedCache, AbsurdRetrievalCountIsRefusedBeforeAnyWork) {
  const Published published("simplepir-rs-experimental-v0", 10, 128, 5);
  const QuorvexClient client = open(published).value();
  const auto refused = client.prepare_retrieval(published.rows[0], RetrievalConfig{1, std::uint64_t{1} << 40});
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error().display().starts_with("format error: retrieval_count 1099511627776 is larger than"));
}

TEST_F(OpenedCache, ResponseWithAnotherCountFailsAndKeepsThePreparedRetrieval) {
  const Published published("toy-development-only-v0", 6, 128, 5);
  const QuorvexClient client = open(published).value();
  const auto three = client.prepare_retrieval_query_json(published.rows[0], RetrievalConfig{1, 3}).value();
  const auto four = client.prepare_retrieval_query_json(published.rows[0], RetrievalConfig{1, 4}).value();
  EXPECT_EQ(client.decode_retrieval_response_json(three.prepared, published.answer(four.query_json)).error().display(),
            "format error: batched PIR context count 3 does not match response count 4");
  EXPECT_TRUE(client.decode_retrieval_response_json(three.prepared, published.answer(three.query_json)).has_value());
}

// Each case breaks one thing; the error shows which step of opening met it first.
struct OpenCase {
  std::string name;
  std::function<void(CacheBuilder&)> before_write;
  std::function<void(const std::filesystem::path&)> after_write;
  std::string error;  // "{root}" stands for the cache directory
};

class OpenOrder : public OpenedCache, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenOrder, FirstFailingStepIsReported) {
  Published published("simplepir-rs-v0-1000-1k", 20, 1024, 384);
  GetParam().before_write(published.cache);
  published.cache.write(dir_.path());
  GetParam().after_write(dir_.path());
  const auto client = QuorvexClient::open_public_cache(dir_.path());
  ASSERT_FALSE(client.has_value());
  std::string expected = GetParam().error;
  if (const auto at = expected.find("{root}"); at != std::string::npos) expected.replace(at, 6, root());
  // Messages ending in a blank are prefixes (digests and sizes follow).
  if (expected.ends_with(' ')) {
    EXPECT_TRUE(client.error().display().starts_with(expected)) << client.error().display();
  } else {
    EXPECT_EQ(client.error().display(), expected);
  }
}

const auto kNothing = [](auto&) {};

void edit_scheme(CacheBuilder& cache, const std::function<void(nlohmann::json&)>& edit) {
  auto scheme = nlohmann::json::parse(cache.files["pir/scheme.json"]);
  edit(scheme);
  cache.files["pir/scheme.json"] = scheme.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, OpenOrder,
    ::testing::Values(
        OpenCase{"manifest_before_checksums", [](CacheBuilder& c) { c.manifest["bundle_id"] = " "; },
                 [](const auto& root) { std::filesystem::remove(root / "checksums.json"); },
                 "format error: manifest bundle_id cannot be empty"},
        OpenCase{"missing_checksums_file", kNothing,
                 [](const auto& root) { std::filesystem::remove(root / "checksums.json"); },
                 "I/O error for {root}/checksums.json: No such file or directory (os error 2)"},
        OpenCase{"scheme_without_checksum", [](CacheBuilder& c) { c.without_checksum.insert("pir/scheme.json"); },
                 kNothing, "missing checksum entry for pir/scheme.json"},
        OpenCase{"manifest_edited", kNothing,
                 [](const auto& root) {
                   std::ofstream(root / "manifest.json", std::ios::app) << " ";
                 },
                 "checksum mismatch for manifest.json: expected "},
        OpenCase{"client_hint_altered", kNothing,
                 [](const auto& root) { testing::write_bytes(root / "pir/client_hint.bin", "QVSRC001"); },
                 "checksum mismatch for pir/client_hint.bin: expected "},
        // Each file is parsed as it is verified; its format errors still wait for every checksum.
        OpenCase{"index_format_after_every_checksum",
                 [](CacheBuilder& c) { c.files["index/vectors.bin"] = "QVVEC00X"; },
                 [](const auto& root) { testing::write_bytes(root / "pir/client_hint.bin", "QVSRC001"); },
                 "checksum mismatch for pir/client_hint.bin: expected "},
        OpenCase{"index_format", [](CacheBuilder& c) { c.files["index/vectors.bin"] = "QVVEC00X"; }, kNothing,
                 "format error: {root}/index/vectors.bin has an unsupported vector file magic"},
        OpenCase{"envelope_before_index",
                 [](CacheBuilder& c) {
                   c.files["index/vectors.bin"] = std::string(2621440, 'x');  // checksummed, but not an index
                 },
                 kNothing,
                 "format error: PIR parameter_profile simplepir-rs-v0-1000-1k supports public cache size at most "
                 "2621440 bytes, got "},
        // The envelope is measured before the big files are read, yet reported after every checksum.
        OpenCase{"checksums_before_envelope",
                 [](CacheBuilder& c) { c.files["index/vectors.bin"] = std::string(2621440, 'x'); },
                 [](const auto& root) { testing::write_bytes(root / "pir/client_hint.bin", "QVSRC001"); },
                 "checksum mismatch for pir/client_hint.bin: expected "},
        OpenCase{"index_against_manifest", [](CacheBuilder& c) { c.manifest["embedding_model"] = "other-model"; },
                 kNothing, "format error: index embedding model hashing-384-v1 does not match manifest other-model"},
        OpenCase{"scheme_against_manifest",
                 [](CacheBuilder& c) { edit_scheme(c, [](auto& s) { s["params"]["record_count"] = 21; }); },
                 kNothing, "format error: PIR scheme artifact does not match manifest PIR metadata"},
        OpenCase{"scheme_status_case",
                 [](CacheBuilder& c) { edit_scheme(c, [](auto& s) { s["params"]["security_status"] = "Supported-v0-unaudited"; }); },
                 kNothing,
                 "format error: unsupported PIR security_status for simplepir-rs-v0-1000-1k: Supported-v0-unaudited; "
                 "expected supported-v0-unaudited"},
        OpenCase{"scheme_server_hint_path",
                 [](CacheBuilder& c) { edit_scheme(c, [](auto& s) { s["artifacts"]["server_hint"] = "pir/server_hint.bin "; }); },
                 kNothing, "format error: PIR scheme artifact does not match manifest PIR metadata"},
        OpenCase{"scheme_not_json", [](CacheBuilder& c) { c.files["pir/scheme.json"] = "{"; }, kNothing,
                 "JSON error for {root}/pir/scheme.json: syntax error while parsing object key - unexpected end of "
                 "input; expected string literal at line 1 column 1"},
        OpenCase{"client_hint_missing", kNothing,
                 [](const auto& root) { std::filesystem::remove(root / "pir/client_hint.bin"); },
                 "I/O error for {root}/pir/client_hint.bin: No such file or directory (os error 2)"},
        OpenCase{"client_hint_of_the_other_backend",
                 [](CacheBuilder& c) { c.files["pir/client_hint.bin"] = testing::toy_hint(20, 1024).text(); }, kNothing,
                 "format error: client_hint.bin has an unsupported SimplePIR magic header"}),
    [](const auto& test_case) { return test_case.param.name; });

}  // namespace
}  // namespace quorvex
