#include "pir/batched_documents.hpp"

#include <gtest/gtest.h>

#include "pir/padded_chunk_record.hpp"
#include "pir/pir_client.hpp"
#include "pir/vector_payload.hpp"
#include "support/reference_server.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

std::string text_of(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(BatchedPirQuery, WritesCompactJsonInKeyOrder) {
  BatchedPirQuery query;
  query.retrieval_count = 2;
  query.queries.resize(2);
  query.queries[0].payload.bytes = bytes_of("abc");
  query.queries[1].payload.bytes = bytes_of("a");
  EXPECT_EQ(text_of(query.to_json_vec().value()),
            R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","retrieval_count":2,"queries":[)"
            R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":"YWJj"},)"
            R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":"YQ"}]})");
  query.queries[1].payload.bytes.clear();
  EXPECT_EQ(query.to_json_vec().error().display(), "format error: PIR query payload cannot be empty");
}

struct ResponseCase {
  std::string name;
  std::string document;
  std::string outcome;  // "ok" or the error display
};

class ResponseDocument : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(ResponseDocument, ParsesAndValidates) {
  const auto parsed = BatchedPirResponse::from_json_slice(bytes_of(GetParam().document));
  EXPECT_EQ(parsed ? std::string("ok") : parsed.error().display(), GetParam().outcome);
}

constexpr const char* kItem = R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":"YQ"})";

std::string response(std::string_view count, std::string_view items) {
  return concat(R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","retrieval_count":)", count,
                R"(,"responses":[)", items, "]}");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResponseDocument,
    ::testing::Values(
        ResponseCase{"object_form", response("1", kItem), "ok"},
        ResponseCase{"array_forms", R"([1,"simplepir-lwe-v0",2,[[1,"simplepir-lwe-v0","YQ"],)" + std::string(kItem) + "]]", "ok"},
        ResponseCase{"unknown_keys", R"({"x":[1,{}],"protocol_version":1,"scheme":"simplepir-lwe-v0","retrieval_count":1,)"
                                     R"("responses":[{"protocol_version":1,"extra":null,"scheme":"simplepir-lwe-v0","payload":"YQ"}]})",
                     "ok"},
        ResponseCase{"escaped_payload", response("1", R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":"\u0059\u0051"})"), "ok"},
        ResponseCase{"zero_count", response("0", ""), "format error: batched PIR response retrieval_count must be greater than zero"},
        ResponseCase{"count_mismatch", response("2", concat(kItem, ",", kItem, ",", kItem)),
                     "format error: batched PIR response retrieval_count 2 does not match payload count 3"},
        ResponseCase{"batch_version", R"({"protocol_version":3,"scheme":"simplepir-lwe-v0","retrieval_count":0,"responses":[]})",
                     "format error: batched PIR response protocol_version 3 is unsupported"},
        ResponseCase{"item_version", response("1", R"({"protocol_version":2,"scheme":"simplepir-lwe-v0","payload":"YQ"})"),
                     "format error: PIR response protocol_version 2 is unsupported"},
        ResponseCase{"item_empty_payload", response("1", R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":""})"),
                     "format error: PIR response payload cannot be empty"},
        ResponseCase{"payload_length", response("1", R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":"YWJjZ"})"),
                     "JSON error for batched-pir-response: invalid payload length at line 1 column 150"},
        ResponseCase{"payload_digit", response("1", R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":"YQ=="})"),
                     "JSON error for batched-pir-response: invalid payload character = at line 1 column 149"},
        ResponseCase{"payload_not_string", response("1", R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":7})"),
                     "JSON error for batched-pir-response: invalid type: integer `7`, expected a Quorvex digit-free "
                     "payload string at line 1 column 144"},
        ResponseCase{"wrong_scheme", response("1", R"({"protocol_version":1,"scheme":"x","payload":"YQ"})"),
                     "JSON error for batched-pir-response: unknown variant `x`, expected `simplepir-lwe-v0` at line 1 "
                     "column 117"},
        ResponseCase{"version_width", R"({"protocol_version":4294967296})",
                     "JSON error for batched-pir-response: invalid value: integer `4294967296`, expected u32 at line 1 "
                     "column 30"},
        ResponseCase{"missing_key", response("1", R"({"protocol_version":1,"payload":"YQ"})"),
                     "JSON error for batched-pir-response: missing field `scheme` at line 1 column 120"},
        ResponseCase{"trailing", response("1", kItem) + "x",
                     "JSON error for batched-pir-response: syntax error while parsing value - invalid literal; last "
                     "read: '\"YQ\"}]}x'; expected end of input at line 1 column 151"}),
    [](const auto& test_case) { return test_case.param.name; });

// from_json_slice reads plain documents in one pass and hands every other
// document to the general parser; either way the outcome must be the one the
// general parser and decoder give.
std::string general_outcome(std::string_view document) {
  auto parsed = read_json<BatchedPirResponse>(document);
  if (!parsed) return QuorvexError::json_label("batched-pir-response", std::move(parsed).error()).display();
  if (const Status valid = parsed->validate(); !valid) return valid.error().display();
  std::string outcome = concat("ok ", parsed->retrieval_count);
  for (const PirResponse& item : parsed->responses) outcome += concat(" ", text_of(item.payload.bytes));
  return outcome;
}

std::string fast_outcome(std::string_view document) {
  const auto parsed = BatchedPirResponse::from_json_slice(bytes_of(document));
  if (!parsed) return parsed.error().display();
  std::string outcome = concat("ok ", parsed->retrieval_count);
  for (const PirResponse& item : parsed->responses) outcome += concat(" ", text_of(item.payload.bytes));
  return outcome;
}

TEST(ResponseDocumentReaders, AgreeOnVariantsOfThePlainForm) {
  const std::string item = kItem;
  const std::vector<std::string> documents = {
      response("2", item + "," + R"({"payload":"YWJj","scheme":"simplepir-lwe-v0","protocol_version":1})"),
      " \n{ \"responses\" : [ { \"payload\" : \"YQ\" , \"protocol_version\" : 1 , \"scheme\" : "
      "\"simplepir-lwe-v0\" } ] ,\t\"retrieval_count\" :1,\"scheme\":\"simplepir-lwe-v0\",\"protocol_version\":1}\r\n",
      response("01", item),
      response("1.0", item),
      response("1e0", item),
      response("-0", item),
      response("18446744073709551615", item),
      response("18446744073709551616", item),
      response("1", R"({"protocol_version":1,"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":"YQ"})"),
      R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","retrieval_count":1,"retrieval_count":1,"responses":[)" +
          item + "]}",
      response("1", R"({"protocol_version":1,"scheme":"simplepir-lwe-v\u0030","payload":"YQ"})"),
      response("1", R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":"Y\u0051"})"),
      response("1", R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":"Y\u00e9"})"),
      response("1", R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":"YQ"} )"),
      response("1", "") ,
      response("1", "{}"),
      std::string(R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","retrieval_count":1,"responses":[)") + item +
          "]}\0",
      "{}",
      "",
  };
  for (const std::string& document : documents) {
    EXPECT_EQ(fast_outcome(document), general_outcome(document)) << document;
  }
}

TEST(ResponseDocumentReaders, AgreeOnEveryPrefixAndSingleByteChange) {
  const std::string document =
      response("2", std::string(kItem) + "," + R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":"YWJj"})");
  for (std::size_t length = 0; length <= document.size(); ++length) {
    const std::string prefix = document.substr(0, length);
    EXPECT_EQ(fast_outcome(prefix), general_outcome(prefix)) << prefix;
  }
  for (std::size_t at = 0; at < document.size(); ++at) {
    for (const char replacement : {' ', '"', '0', '9', 'x', ',', '}', '\\', '\xC3'}) {
      std::string changed = document;
      changed[at] = replacement;
      EXPECT_EQ(fast_outcome(changed), general_outcome(changed)) << changed;
    }
  }
}

TEST(PaddedChunkRecord, LengthPrefixBoundaries) {
  EXPECT_EQ(decode_padded_chunk_record(std::vector<std::uint8_t>(3)).error().display(),
            "format error: padded chunk record is shorter than the length prefix");
  const std::string json = R"({"record_id":0,"chunk_id":"c","document_id":"d","text":"t"})";
  auto record = testing::padded_record(json, 1024);
  EXPECT_EQ(decode_padded_chunk_record(record).value().chunk_id, "c");
  // 1020 + 4 = 1024 fits (the JSON then holds trailing whitespace); 1021 does not.
  std::fill(record.begin() + 4 + static_cast<std::ptrdiff_t>(json.size()), record.end(), ' ');
  record[0] = 0xFC;
  record[1] = 0x03;
  EXPECT_TRUE(decode_padded_chunk_record(record).has_value());
  record[0] = 0xFD;
  EXPECT_EQ(decode_padded_chunk_record(record).error().display(),
            "format error: chunk payload length 1021 exceeds record size 1024");
  EXPECT_TRUE(decode_padded_chunk_record(std::vector<std::uint8_t>(8, 0))
                  .error()
                  .display()
                  .starts_with("JSON error for chunk-record-payload: "));
}

// A toy cache on disk answered by the reference server.
class PirClientRoundTrip : public ::testing::Test {
 protected:
  PirClientRoundTrip() : server_(testing::chunk_records(5, 96), 21) {
    dir_.write("pir/scheme.json", testing::scheme_json(kToy, 5, 96).dump());
    dir_.write("pir/client_hint.bin", testing::toy_hint_file(server_.artifact).text());
    const auto manifest = read_json<BundleManifest>(testing::manifest_json(kToy, 5, 96, 4).dump()).value();
    client_.emplace(PirClient::from_public_manifest_and_cache(manifest, dir_.path()).value());
  }

  BatchedPirResponse answer(const PreparedBatchedPirQuery& prepared) const {
    BatchedPirResponse response;
    response.retrieval_count = prepared.query.queries.size();
    for (const PirQuery& query : prepared.query.queries) {
      const auto vector = decode_vector_payload(kToyQueryMagic, query.payload.bytes, 5, "q").value();
      PirResponse item;
      item.payload.bytes = encode_vector_payload(kToyResponseMagic, server_.answer(vector));
      response.responses.push_back(std::move(item));
    }
    return response;
  }

  static constexpr const char* kToy = "toy-development-only-v0";
  testing::TempDir dir_;
  testing::ToyServer server_;
  std::optional<PirClient> client_;
};

TEST_F(PirClientRoundTrip, DecodesTheChunksOfEveryQueryInOrder) {
  const std::vector<std::uint64_t> ids{4, 1, 1, 0};
  const PreparedBatchedPirQuery prepared = client_->generate_batched_query(ids).value();
  EXPECT_EQ(prepared.query.retrieval_count, 4u);
  const auto chunks = client_->decode_batched_response_chunks(prepared.contexts, answer(prepared));
  ASSERT_TRUE(chunks.has_value()) << chunks.error().display();
  ASSERT_EQ(chunks->size(), 4u);
  for (std::size_t k = 0; k < ids.size(); ++k) {
    EXPECT_EQ((*chunks)[k].record_id, ids[k]);
    EXPECT_EQ((*chunks)[k].text, concat("text ", ids[k]));
  }
}

TEST_F(PirClientRoundTrip, RefusesMismatchedBatches) {
  EXPECT_EQ(client_->generate_batched_query({}).error().display(),
            "format error: batched PIR query must contain at least one record id");
  const std::vector<std::uint64_t> ids{0, 1, 2};
  const PreparedBatchedPirQuery prepared = client_->generate_batched_query(ids).value();
  const auto contexts = std::span(prepared.contexts).first(2);
  EXPECT_EQ(client_->decode_batched_response_chunks(contexts, answer(prepared)).error().display(),
            "format error: batched PIR context count 2 does not match response count 3");
  const std::vector<std::uint64_t> out_of_range{0, 5};
  EXPECT_EQ(client_->generate_batched_query(out_of_range).error().display(), "record id 5 is out of range for 5 records");
}

TEST(PirClientBatch, SupportedProfileRequiresFourQueries) {
  testing::TempDir dir;
  const testing::SimplePirRsServer server(testing::random_records(3, 1024, 9), 4);
  dir.write("pir/scheme.json", testing::scheme_json("simplepir-rs-v0-1000-1k", 3, 1024).dump());
  dir.write("pir/client_hint.bin", testing::simplepir_rs_hint_file(server.artifact).text());
  const auto manifest =
      read_json<BundleManifest>(testing::manifest_json("simplepir-rs-v0-1000-1k", 3, 1024, 384).dump()).value();
  const PirClient client = PirClient::from_public_manifest_and_cache(manifest, dir.path()).value();
  const std::vector<std::uint64_t> three{0, 1, 2};
  EXPECT_EQ(client.generate_batched_query(three).error().display(),
            "format error: PIR parameter_profile simplepir-rs-v0-1000-1k requires retrieval_count 4, got 3");
  const std::vector<std::uint64_t> four{2, 0, 1, 0};
  EXPECT_EQ(client.generate_batched_query(four).value().contexts.size(), 4u);
}

}  // namespace
}  // namespace quorvex
