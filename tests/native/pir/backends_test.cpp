// Both query backends against the reference server: the client's query, the
// server's answer and the client's decoding give back the records.
#include <gtest/gtest.h>

#include "pir/simplepir_rs_backend.hpp"
#include "pir/toy_backend.hpp"
#include "pir/vector_payload.hpp"
#include "support/reference_server.hpp"

namespace quorvex {
namespace {

using testing::Records;

PirResponse response_of(std::uint64_t magic, const std::vector<std::uint64_t>& answer) {
  PirResponse response;
  response.payload.bytes = encode_vector_payload(magic, answer);
  return response;
}

std::vector<std::uint64_t> query_vector(std::uint64_t magic, const PirQuery& query, std::uint64_t length) {
  return decode_vector_payload(magic, query.payload.bytes, length, "query").value();
}

template <class T>
SecretVector<T> secret_of(std::initializer_list<T> values) {
  return SecretVector<T>(values.begin(), values.end());
}

TEST(ToyBackend, ZeroSecretAndErrorGiveTheScaledUnitVector) {
  const testing::ToyServer server(testing::random_records(3, 4, 2), 5);
  const PirParams params = testing::params_for("toy-development-only-v0", 3, 4);
  const auto generated = ToySimplePirBackend::generate_query_from_material(
      params, server.artifact, 1, 77, SecretVector<std::uint64_t>(16, 0), SecretVector<std::int64_t>(3, 0));
  ASSERT_TRUE(generated.has_value());
  EXPECT_EQ(generated->query.payload.bytes.size(), 16u + 8 * 3);
  EXPECT_EQ(query_vector(kToyQueryMagic, generated->query, 3), (std::vector<std::uint64_t>{0, 16777216, 0}));
  EXPECT_EQ(generated->context.query_sum, 16777216u);
  EXPECT_EQ(generated->context.query_seed, 77u);
  // An error of -1 on a row whose product is 0 wraps to q - 1.
  const auto wrapped = ToySimplePirBackend::generate_query_from_material(
      params, server.artifact, 1, 77, SecretVector<std::uint64_t>(16, 0), secret_of<std::int64_t>({-1, 0, 1}));
  EXPECT_EQ(query_vector(kToyQueryMagic, wrapped->query, 3), (std::vector<std::uint64_t>{4294967295u, 16777216, 1}));
}

// (records, record size): below, equal to and above the lane count, odd sizes.
class SimplePirRsRoundTrip : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(SimplePirRsRoundTrip, RecoversEveryRecord) {
  const auto [count, size] = GetParam();
  Records records = testing::random_records(count, size, static_cast<std::uint32_t>(count * 31 + size));
  std::fill(records[0].begin(), records[0].end(), 0xFF);  // lanes of 65535
  if (count > 1) std::fill(records[1].begin(), records[1].end(), 0x00);
  const testing::SimplePirRsServer server(std::move(records), 12345);
  const PirParams params = testing::params_for("simplepir-rs-experimental-v0", count, size);
  const std::uint64_t side = server.artifact.setup.square_side_len;
  for (std::uint64_t id = 0; id < count; ++id) {
    const GeneratedQuery generated = SimplePirRsBackend::generate_query(params, server.artifact, id).value();
    const auto answer = server.answer(query_vector(kSimplePirRsQueryMagic, generated.query, side));
    const auto record = SimplePirRsBackend::decode_response_record(params, server.artifact, generated.context,
                                                                   response_of(kSimplePirRsResponseMagic, answer));
    ASSERT_TRUE(record.has_value()) << record.error().display();
    EXPECT_EQ(*record, server.records[id]) << "record " << id;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, SimplePirRsRoundTrip,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{3, 9}, std::pair<std::size_t, std::size_t>{5, 10},
                                           std::pair<std::size_t, std::size_t>{20, 7}, std::pair<std::size_t, std::size_t>{1, 4},
                                           std::pair<std::size_t, std::size_t>{70, 130}));

TEST(SimplePirRsBackend, ZeroSecretAndErrorGiveDeltaAtTheRecord) {
  const testing::SimplePirRsServer server(testing::random_records(3, 8, 3), 1);
  const PirParams params = testing::params_for("simplepir-rs-experimental-v0", 3, 8);
  const auto generated = SimplePirRsBackend::generate_query_from_material(
      params, server.artifact, 2, 1, SecretVector<std::uint64_t>(64, 0), secret_of<std::int64_t>({0, -1, 0, 0}));
  ASSERT_TRUE(generated.has_value());
  EXPECT_EQ(query_vector(kSimplePirRsQueryMagic, generated->query, 4),
            (std::vector<std::uint64_t>{0, UINT64_MAX, 1ull << 47, 0}));
  EXPECT_EQ(simplepir_rs_delta(131072), 1ull << 47);
}

// A batch computed in one pass equals the same queries computed one by one.
TEST(Backends, BatchEqualsOneByOne) {
  const testing::SimplePirRsServer rs(testing::random_records(150, 20, 4), 8);
  const PirParams rs_params = testing::params_for("simplepir-rs-experimental-v0", 150, 20);
  const testing::ToyServer toy(testing::random_records(9, 6, 5), 3);
  const PirParams toy_params = testing::params_for("toy-development-only-v0", 9, 6);

  const auto compare = [](const auto& backend, const PirParams& params, const auto& artifact,
                          std::vector<std::uint64_t> ids) {
    std::vector<QueryMaterial> batch;
    std::vector<GeneratedQuery> singles;
    for (const std::uint64_t id : ids) {
      QueryMaterial material = backend.draw_material(artifact, id).value();
      singles.push_back(backend
                            .generate_query_from_material(params, artifact, id, material.query_seed, material.secret,
                                                          material.error)
                            .value());
      batch.push_back(std::move(material));
    }
    const auto batched = backend.generate_queries_from_material(params, artifact, std::move(batch)).value();
    ASSERT_EQ(batched.size(), singles.size());
    for (std::size_t k = 0; k < singles.size(); ++k) {
      EXPECT_EQ(batched[k].query.payload.bytes, singles[k].query.payload.bytes);
      EXPECT_EQ(batched[k].context.query_sum, singles[k].context.query_sum);
      EXPECT_EQ(batched[k].context.secret, singles[k].context.secret);
    }
  };
  compare(SimplePirRsBackend{*SimplePirRsBackend::for_params(rs_params)}, rs_params, rs.artifact,
          {149, 0, 77, 77, 3});
  compare(ToySimplePirBackend{}, toy_params, toy.artifact, {8, 0, 4, 4});
}

struct DecodeCase {
  std::string name;
  std::function<void(PirQueryContext&, PirResponse&)> mutate;
  std::string error;
};

class ToyDecodeFault : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ToyDecodeFault, Reports) {
  const testing::ToyServer server(testing::random_records(3, 4, 6), 5);
  const PirParams params = testing::params_for("toy-development-only-v0", 3, 4);
  GeneratedQuery generated = ToySimplePirBackend::generate_query(params, server.artifact, 0).value();
  PirResponse response = response_of(kToyResponseMagic, server.answer(query_vector(kToyQueryMagic, generated.query, 3)));
  GetParam().mutate(generated.context, response);
  const auto decoded = ToySimplePirBackend::decode_response_record(params, server.artifact, generated.context, response);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().display(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, ToyDecodeFault,
    ::testing::Values(
        DecodeCase{"context_version", [](auto& c, auto& r) { c.protocol_version = 2; r.protocol_version = 3; },
                   "format error: PIR query context protocol_version 2 is unsupported"},
        DecodeCase{"context_record", [](auto& c, auto&) { c.record_id = 3; },
                   "record id 3 is out of range for 3 records"},
        DecodeCase{"context_secret", [](auto& c, auto&) { c.secret.pop_back(); },
                   "format error: PIR query context secret length 15 does not match expected 16"},
        DecodeCase{"response_version", [](auto&, auto& r) { r.protocol_version = 2; r.payload.bytes.clear(); },
                   "format error: PIR response protocol_version 2 is unsupported"},
        DecodeCase{"empty_payload", [](auto&, auto& r) { r.payload.bytes.clear(); },
                   "format error: PIR response payload cannot be empty"},
        DecodeCase{"long_answer", [](auto&, auto& r) { r.payload.bytes = encode_vector_payload(kToyResponseMagic, std::vector<std::uint64_t>(5)); },
                   "format error: PIR response vector length 5 does not match expected 4"},
        DecodeCase{"surplus_bytes", [](auto&, auto& r) { r.payload.bytes.resize(r.payload.bytes.size() + 8); },
                   "format error: PIR response has 8 trailing bytes"},
        DecodeCase{"other_magic", [](auto&, auto& r) { r.payload.bytes[3] ^= 1; },
                   "format error: PIR response has an unsupported SimplePIR magic header"}),
    [](const auto& test_case) { return test_case.param.name; });

TEST(SimplePirRsBackend, GenerationChecksInOrder) {
  const testing::SimplePirRsServer server(testing::random_records(3, 8, 7), 1);
  const PirParams params = testing::params_for("simplepir-rs-experimental-v0", 3, 8);
  const auto attempt = [&](std::uint64_t id, std::uint64_t seed, std::size_t secret, std::size_t error) {
    const auto generated = SimplePirRsBackend::generate_query_from_material(
        params, server.artifact, id, seed, SecretVector<std::uint64_t>(secret), SecretVector<std::int64_t>(error));
    return generated ? std::string("ok") : generated.error().display();
  };
  EXPECT_EQ(attempt(3, 0, 1, 1), "record id 3 is out of range for 3 records");
  EXPECT_EQ(attempt(2, 0, 1, 1), "format error: simplepir-rs query seed cannot be zero");
  EXPECT_EQ(attempt(2, 1, 63, 1), "format error: simplepir-rs query secret length 63 does not match expected 64");
  EXPECT_EQ(attempt(2, 1, 64, 3), "format error: simplepir-rs query error length 3 does not match expected 4");
  EXPECT_EQ(attempt(2, 1, 64, 4), "ok");
}

}  // namespace
}  // namespace quorvex
