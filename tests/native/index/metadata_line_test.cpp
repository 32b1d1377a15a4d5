// A metadata line gives the same record, or the same error, whether the
// direct scan takes it or the JSON parser does; the scan takes the compact
// lines publishers write.
#include "index/metadata_line.hpp"

#include <gtest/gtest.h>

#include "core/checksum.hpp"
#include "core/json_decode.hpp"
#include "core/text.hpp"

namespace quorvex {
namespace {

// A value with the type of every part (an unsigned and a signed 1 print alike).
std::string typed(const Metadata& value) {
  std::string out = concat(static_cast<int>(value.type()), ":");
  if (!value.is_object()) return out + value.dump();
  for (const auto& [key, item] : value.items()) out += concat(key, "=", typed(item), ";");
  return out;
}

std::string described(const std::expected<IndexMetadataRecord, JsonError>& record) {
  if (!record) return "error: " + record.error().describe();
  const std::string digest = record->record_sha256 ? to_hex(*record->record_sha256) : "none";
  return concat(record->record_id, " ", record->chunk_id, " ", record->document_id, " ", typed(record->metadata), " ",
                digest);
}

const std::string kHex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kIds = R"("record_id":7,"chunk_id":"c7","document_id":"d1")";

TEST(MetadataLine, TheScanGivesWhatTheParserGives) {
  // (line, taken by the scan)
  for (const auto& [line, scanned] : std::vector<std::pair<std::string, bool>>{
        // What publishers write, and the forms around it that JSON reads the same way.
        {concat(R"({"record_id":0,"chunk_id":"c0","document_id":"doc0","metadata":{"n":0,"title":"Été )" "\x7f",
                R"(","ok":true,"off":false,"none":null},"chunk_sha256":")", kHex, R"(","record_sha256":")", kHex,
                R"("})"),
         true},
        {R"({"document_id":"d","chunk_id":"","record_id":9999999999999999999})", true},
        {concat("{", kIds, R"(,"metadata":"text","extra":12,"more":"x"})"), true},
        {concat("{", kIds, R"(,"metadata":{"a":1,"a":"later wins"}})"), true},
        {concat("{", kIds, R"(,"metadata":{}})"), true},
        {concat("{", kIds, R"(,"metadata":null})"), true},
        {concat("{", kIds, R"(,"metadata":3})"), true},
        // Valid JSON the scan leaves to the parser.
        {concat(R"({ "record_id": 7, "chunk_id": "c7", "document_id": "d1" })"), false},
        {R"({"record_id":7,"chunk_id":"c\"7\u00e9","document_id":"d1"})", false},
        {R"({"record_id":18446744073709551615,"chunk_id":"c","document_id":"d"})", false},
        {R"({"record_id":-0,"chunk_id":"c","document_id":"d"})", false},
        {concat("{", kIds, R"(,"metadata":{"a":{"b":[1,-2,1.5]}}})"), false},
        {concat("{", kIds, R"(,"metadata":[1]})"), false},
        {concat("{", kIds, R"(,"metadata":{"n":-1}})"), false},
        {concat("{", kIds, R"(,"extra":true})"), false},
        {concat("{", kIds, R"(,"extra":{"x":1}})"), false},
        {concat("{", kIds, "}\r"), false},
        // Errors, all the parser's.
        {R"({"record_id":7,"chunk_id":"c7"})", false},
        {concat("{", kIds, R"(,"record_id":8})"), false},
        {concat("{", kIds, R"(,"metadata":1,"metadata":2})"), false},
        {concat("{", kIds, R"(,"record_sha256":")", std::string(63, 'a'), R"(A"})"), false},
        {concat("{", kIds, R"(,"record_sha256":")", std::string(62, 'a'), R"("})"), false},
        {concat("{", kIds, R"(,"record_sha256":null})"), false},
        {R"({"record_id":07,"chunk_id":"c","document_id":"d"})", false},
        {R"({"record_id":1e3,"chunk_id":"c","document_id":"d"})", false},
        {R"({"record_id":"7","chunk_id":"c","document_id":"d"})", false},
        {R"({"record_id":7,"chunk_id":7,"document_id":"d"})", false},
        {concat("{", kIds, R"(,"metadata":{"n":1.})"), false},
        {concat("{", kIds, R"(,"extra":tru})"), false},
        {concat("{", kIds, "}x"), false},
        {concat("{", kIds, ","), false},
        {"{}", false},
        {"", false},
        {R"({"record_id":7,"chunk_id":"c)" "\x01" R"(","document_id":"d"})", false},
        {R"({"record_id":7,"chunk_id":"c)" "\xc3\x28" R"(","document_id":"d"})", false},
        {R"({"record_id":7,"chunk_id":"c","document_id":"d)" "\xed\xa0\x80" R"("})", false}}) {
    EXPECT_EQ(scan_compact_metadata_line(line).has_value(), scanned) << line;
    EXPECT_EQ(described(read_metadata_line(line)), described(read_json<IndexMetadataRecord>(line))) << line;
  }
}

}  // namespace
}  // namespace quorvex
