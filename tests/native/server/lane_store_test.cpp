#include <gtest/gtest.h>

#include "pir/batched_documents.hpp"
#include "pir/vector_payload.hpp"
#include "server/lane_store.hpp"
#include "server/query_answers.hpp"
#include "support/served_store.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

constexpr std::string_view kToy = "toy-development-only-v0";
constexpr std::string_view kExperimental = "simplepir-rs-experimental-v0";
constexpr std::string_view kSupported = "simplepir-rs-v0-1000-1k";

std::vector<std::uint8_t> query_document(std::uint64_t magic, const std::vector<std::vector<std::uint64_t>>& vectors) {
  BatchedPirQuery query;
  query.retrieval_count = vectors.size();
  for (const auto& vector : vectors) query.queries.push_back({1, PirScheme::SimplePirLweV0, {encode_vector_payload(magic, vector)}});
  return query.to_json_vec().value();
}

std::vector<std::uint64_t> some_vector(std::size_t length, std::uint64_t seed) {
  std::vector<std::uint64_t> vector(length);
  for (std::size_t i = 0; i < length; ++i) vector[i] = (i + seed) * 0x9E3779B97F4A7C15ULL;
  return vector;
}

// A refused document gets its own error; the others of the batch are answered.
TEST(QueryAnswers, RefusesEachBadDocumentOnItsOwn) {
  const testing::SimplePirRsStore served(testing::random_records(4, 1024, 3), 1, kSupported);
  const LaneStore& store = served.store;
  const std::size_t n = store.shape.query_length;
  const auto good = query_document(kSimplePirRsQueryMagic, std::vector(4, some_vector(n, 1)));
  const std::vector<std::vector<std::uint8_t>> documents = {
      good,
      {'[', ']'},
      query_document(kSimplePirRsQueryMagic, std::vector(3, some_vector(n, 1))),
      query_document(kToyQueryMagic, std::vector(4, some_vector(n, 1))),
      query_document(kSimplePirRsQueryMagic, {some_vector(n, 1), some_vector(n, 1), some_vector(n, 1), some_vector(n + 1, 1)}),
      good,
  };
  const auto answers = answer_query_documents(store, std::vector<DocumentBytes>(documents.begin(), documents.end()), 64, 1);
  const auto outcome = [&](std::size_t k) { return testing::outcome(answers[k]); };
  EXPECT_EQ(outcome(0), "ok");
  EXPECT_EQ(outcome(1), "JSON error for batched-pir-query: invalid length 0, expected struct BatchedPirQuery with 4 "
                        "elements at line 1 column 2");
  EXPECT_EQ(outcome(2), "format error: PIR parameter_profile simplepir-rs-v0-1000-1k requires retrieval_count 4, got 3");
  EXPECT_EQ(outcome(3), "format error: PIR query 0 has an unsupported SimplePIR magic header");
  EXPECT_EQ(outcome(4), "format error: PIR query 3 vector length 513 does not match expected 512");
  EXPECT_EQ(answers[5].value(), answers[0].value());
  const auto limited = answer_query_documents(store, std::vector<DocumentBytes>{good}, 3, 1);
  EXPECT_EQ(testing::outcome(limited[0]), "format error: batched PIR query retrieval_count 4 exceeds this server's limit of 3");
}

TEST(StoreShape, RefusesWhatTheArithmeticCannotServe) {
  for (const auto& [profile, records, size, expected] : std::vector<std::tuple<std::string_view, std::uint64_t, std::uint64_t, std::string>>{
           {kToy, 32896, 4, "ok"},
           {kToy, 32897, 4,
            "format error: toy profile holds 1 to 32896 records, got 32897: the answer noise 255 x record_count must stay "
            "below delta/2 = 8388608; use profile 'simplepir-rs-experimental-v0' for larger stores"},
           {kExperimental, 1073741823, 4, "ok"},
           {kExperimental, 1, 2147483648,
            "format error: simplepir-rs square side 1073741824 exceeds 1073741823: the answer noise half_p x "
            "square_side_len must stay below delta/2 = 70368744177664"},
           {kExperimental, 0, 4, "format error: a PIR store needs at least one record"},
           {kExperimental, 1, 3, "format error: PIR records need at least 4 bytes, got 3"},
           {"toy", 1, 4, "format error: unsupported PIR parameter_profile: toy"}}) {
    EXPECT_EQ(testing::outcome(StoreShape::for_store(profile, records, size)), expected);
  }
  const testing::TempDir dir;
  const auto path = dir.write("lanes.bin", std::string(10, '\0'));
  EXPECT_EQ(testing::outcome(LaneStore::open(path, kExperimental, 3, 4)),
            "format error: lane file " + path.string() + " holds 10 bytes, expected 12 (2 rows of 3 lanes)");
}

}  // namespace
}  // namespace quorvex
