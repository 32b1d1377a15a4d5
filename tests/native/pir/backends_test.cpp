// Both query backends against the server engine: the client's query, the
// server's answer and the client's decoding give back the records.
#include <gtest/gtest.h>

#include <functional>

#include "pir/simplepir_rs_backend.hpp"
#include "pir/toy_backend.hpp"
#include "pir/vector_payload.hpp"
#include "support/served_store.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using testing::outcome;
using Secret = SecretVector<std::uint64_t>;
using Error = SecretVector<std::int64_t>;

std::vector<std::uint64_t> query_vector(std::uint64_t magic, const PirQuery& query, std::uint64_t length) {
  return decode_vector_payload(magic, query.payload.bytes, length, "query").value();
}

TEST(Backends, ZeroSecretAndErrorGiveDeltaAtTheRecord) {
  const testing::ToyStore toy(testing::random_records(3, 4, 2), 5);
  const PirParams toy_params = testing::params_for("toy-development-only-v0", 3, 4);
  const auto generated = ToySimplePirBackend::generate_query_from_material(toy_params, toy.artifact, 1, 77, Secret(16, 0),
                                                                           Error{-1, 0, 1});
  // An error of -1 on a row whose product is 0 wraps to q - 1.
  EXPECT_EQ(query_vector(kToyQueryMagic, generated.value().query, 3), (std::vector<std::uint64_t>{4294967295u, 16777216, 1}));
  EXPECT_EQ(generated->context.query_sum, 4294967296u + 16777216u);  // the sum of the query vector, unreduced
  EXPECT_EQ(generated->context.query_seed, 77u);

  const testing::SimplePirRsStore rs(testing::random_records(3, 8, 3), 1);
  const PirParams rs_params = testing::params_for("simplepir-rs-experimental-v0", 3, 8);
  const auto rs_generated =
      SimplePirRsBackend::generate_query_from_material(rs_params, rs.artifact, 2, 1, Secret(64, 0), Error{0, -1, 0, 0});
  EXPECT_EQ(query_vector(kSimplePirRsQueryMagic, rs_generated.value().query, 4),
            (std::vector<std::uint64_t>{0, UINT64_MAX, 1ull << 47, 0}));
}

// (records, record size): below, equal to and above the lane count, odd sizes.
TEST(Backends, SimplePirRsRecoversEveryRecord) {
  for (const auto& [count, size] : {std::pair<std::size_t, std::size_t>{3, 9}, {5, 10}, {20, 7}, {1, 4}, {70, 130}}) {
    testing::Records records = testing::random_records(count, size, static_cast<std::uint32_t>(count * 31 + size));
    std::fill(records[0].begin(), records[0].end(), 0xFF);  // lanes of 65535
    if (count > 1) std::fill(records[1].begin(), records[1].end(), 0x00);
    const testing::SimplePirRsStore server(std::move(records), 12345);
    const PirParams params = testing::params_for("simplepir-rs-experimental-v0", count, size);
    for (std::uint64_t id = 0; id < count; ++id) {
      const GeneratedQuery generated = SimplePirRsBackend::generate_query(params, server.artifact, id).value();
      const auto record = SimplePirRsBackend::decode_response_record(params, server.artifact, generated.context,
                                                                     server.answer(generated.query));
      EXPECT_TRUE(std::ranges::equal(record.value(), server.records[id])) << count << "x" << size << " record " << id;
    }
  }
}

TEST(Backends, ToyDecodeChecksInOrder) {
  const testing::ToyStore server(testing::random_records(3, 4, 6), 5);
  const PirParams params = testing::params_for("toy-development-only-v0", 3, 4);
  const GeneratedQuery generated = ToySimplePirBackend::generate_query(params, server.artifact, 0).value();
  const PirResponse answered = server.answer(generated.query);
  const std::vector<std::pair<std::function<void(PirQueryContext&, PirResponse&)>, std::string>> cases = {
      {[](auto& c, auto& r) { c.protocol_version = 2; r.protocol_version = 3; },
       "format error: PIR query context protocol_version 2 is unsupported"},
      {[](auto& c, auto&) { c.record_id = 3; }, "record id 3 is out of range for 3 records"},
      {[](auto& c, auto&) { c.secret.pop_back(); }, "format error: PIR query context secret length 15 does not match expected 16"},
      {[](auto&, auto& r) { r.protocol_version = 2; r.payload.bytes.clear(); },
       "format error: PIR response protocol_version 2 is unsupported"},
      {[](auto&, auto& r) { r.payload.bytes.clear(); }, "format error: PIR response payload cannot be empty"},
      {[](auto&, auto& r) { r.payload.bytes = encode_vector_payload(kToyResponseMagic, std::vector<std::uint64_t>(5)); },
       "format error: PIR response vector length 5 does not match expected 4"},
      {[](auto&, auto& r) { r.payload.bytes[3] ^= 1; }, "format error: PIR response has an unsupported SimplePIR magic header"},
      {[](auto&, auto&) {}, "ok"}};
  for (const auto& [mutate, error] : cases) {
    PirQueryContext context = generated.context;
    PirResponse response = answered;
    mutate(context, response);
    EXPECT_EQ(outcome(ToySimplePirBackend::decode_response_record(params, server.artifact, context, response)), error);
  }
}

TEST(Backends, SimplePirRsGenerationChecksInOrder) {
  const testing::SimplePirRsStore server(testing::random_records(3, 8, 7), 1);
  const PirParams params = testing::params_for("simplepir-rs-experimental-v0", 3, 8);
  const auto attempt = [&](std::uint64_t id, std::uint64_t seed, std::size_t secret, std::size_t error) {
    return outcome(SimplePirRsBackend::generate_query_from_material(params, server.artifact, id, seed, Secret(secret),
                                                                    Error(error)));
  };
  EXPECT_EQ(attempt(3, 0, 1, 1), "record id 3 is out of range for 3 records");
  EXPECT_EQ(attempt(2, 0, 1, 1), "format error: simplepir-rs query seed cannot be zero");
  EXPECT_EQ(attempt(2, 1, 63, 1), "format error: simplepir-rs query secret length 63 does not match expected 64");
  EXPECT_EQ(attempt(2, 1, 64, 3), "format error: simplepir-rs query error length 3 does not match expected 4");
  EXPECT_EQ(attempt(2, 1, 64, 4), "ok");
}

}  // namespace
}  // namespace quorvex
