#include "pir/batched_documents.hpp"

#include <gtest/gtest.h>

#include "core/text.hpp"

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

constexpr const char* kItem = R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","payload":"YQ"})";

std::string response(std::string_view count, std::string_view items) {
  return concat(R"({"protocol_version":1,"scheme":"simplepir-lwe-v0","retrieval_count":)", count,
                R"(,"responses":[)", items, "]}");
}

std::string with_payload(std::string_view version, std::string_view payload) {
  return response("1", concat(R"({"protocol_version":)", version, R"(,"scheme":"simplepir-lwe-v0","payload":)", payload, "}"));
}

TEST(ResponseDocument, ParsesAndValidates) {
  const std::string json_error = "JSON error for batched-pir-response: ";
  for (const auto& [document, expected] : std::vector<std::pair<std::string, std::string>>{
           {response("1", kItem), "ok"},
           {R"([1,"simplepir-lwe-v0",2,[[1,"simplepir-lwe-v0","YQ"],)" + std::string(kItem) + "]]", "ok"},
           {R"({"x":[1,{}],"protocol_version":1,"scheme":"simplepir-lwe-v0","retrieval_count":1,)"
            R"("responses":[{"protocol_version":1,"extra":null,"scheme":"simplepir-lwe-v0","payload":"YQ"}]})", "ok"},
           {with_payload("1", R"("\u0059\u0051")"), "ok"},
           {response("0", ""), "format error: batched PIR response retrieval_count must be greater than zero"},
           {response("2", concat(kItem, ",", kItem, ",", kItem)),
            "format error: batched PIR response retrieval_count 2 does not match payload count 3"},
           {R"({"protocol_version":3,"scheme":"simplepir-lwe-v0","retrieval_count":0,"responses":[]})",
            "format error: batched PIR response protocol_version 3 is unsupported"},
           {with_payload("2", R"("YQ")"), "format error: PIR response protocol_version 2 is unsupported"},
           {with_payload("1", R"("")"), "format error: PIR response payload cannot be empty"},
           {with_payload("1", R"("YWJjZ")"), json_error + "invalid payload length at line 1 column 150"},
           {with_payload("1", R"("YQ==")"), json_error + "invalid payload character = at line 1 column 149"},
           {with_payload("1", "7"),
            json_error + "invalid type: integer `7`, expected a Quorvex digit-free payload string at line 1 column 144"},
           {response("1", R"({"protocol_version":1,"scheme":"x","payload":"YQ"})"),
            json_error + "unknown variant `x`, expected `simplepir-lwe-v0` or `simplepir-balanced-lwe-v1` at line 1 column 117"},
           {R"({"protocol_version":4294967296})",
            json_error + "invalid value: integer `4294967296`, expected u32 at line 1 column 30"},
           {response("1", R"({"protocol_version":1,"payload":"YQ"})"), json_error + "missing field `scheme` at line 1 column 120"},
           {response("1", kItem) + "x", json_error + "syntax error while parsing value - invalid literal; last read: "
                                                     "'\"YQ\"}]}x'; expected end of input at line 1 column 151"}}) {
    const auto parsed = BatchedPirResponse::from_json_slice(bytes_of(document));
    EXPECT_EQ(parsed ? std::string("ok") : parsed.error().display(), expected) << document;
  }
}

// from_json_slice reads plain documents in one pass and hands every other
// document to the general parser; either way the outcome must be the one the
// general parser and decoder give.
std::string described(const Result<BatchedPirResponse>& parsed) {
  if (!parsed) return parsed.error().display();
  std::string outcome = concat("ok ", parsed->retrieval_count);
  for (const PirResponse& item : parsed->responses) outcome += concat(" ", text_of(item.payload.bytes));
  return outcome;
}

std::string general_outcome(std::string_view document) {
  auto parsed = read_json<BatchedPirResponse>(document);
  if (!parsed) return QuorvexError::json_label("batched-pir-response", std::move(parsed).error()).display();
  if (const Status valid = parsed->validate(); !valid) return valid.error().display();
  return described(std::move(*parsed));
}

std::string fast_outcome(std::string_view document) { return described(BatchedPirResponse::from_json_slice(bytes_of(document))); }

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
          "]}\0", "{}", "",
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

}  // namespace
}  // namespace quorvex
