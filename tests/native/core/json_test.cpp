#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/file_io.hpp"
#include "core/json_decode.hpp"

namespace quorvex {

struct Sample {
  std::string name;
  std::uint64_t count = 0;
  std::uint32_t small = 0;
  std::map<std::string, std::string, std::less<>> params;
  nlohmann::json extra;
};

template <>
struct JsonRecord<Sample> {
  static constexpr std::string_view name = "Sample";
  static constexpr std::tuple fields{
      field("name", &Sample::name),
      field("count", &Sample::count),
      field("small", &Sample::small),
      field("params", &Sample::params),
      optional_field("extra", &Sample::extra),
  };
};

namespace {

std::string sample(std::string_view count = "1", std::string_view tail = "") {
  return concat(R"({"name":"n","count":)", count, R"(,"small":2,"params":{})", tail, "}");
}

TEST(JsonRecord, ReadsEveryFieldAndIgnoresUnknownKeys) {
  const auto record = read_json<Sample>(
      R"({"name":"n","unknown":{"deep":[1,{"x":null}]},"count":18446744073709551615,"small":4294967295,)"
      R"("params":{"b":"2","a":"1"},"extra":{"z":1,"a":[true,-1,2.5]}})");
  ASSERT_TRUE(record.has_value()) << record.error().describe();
  EXPECT_EQ(record->count, 18446744073709551615u);
  EXPECT_EQ(record->small, 4294967295u);
  EXPECT_EQ(record->params.size(), 2u);
  EXPECT_EQ(record->extra.dump(), R"({"a":[true,-1,2.5],"z":1})");
}

// An optional field absent or null is null, -0 is 0 and a later duplicate map key wins.
TEST(JsonRecord, NullsZerosAndDuplicateKeys) {
  EXPECT_TRUE(read_json<Sample>(sample())->extra.is_null());
  const auto record = read_json<Sample>(R"({"name":"n","count":-0,"small":2,"params":{"k":"a","k":"b"},"extra":null})");
  ASSERT_TRUE(record.has_value());
  EXPECT_TRUE(record->extra.is_null());
  EXPECT_EQ(record->count, 0u);
  EXPECT_EQ(record->params.at("k"), "b");
  EXPECT_EQ(read_json<Sample>(sample("1", R"(,"extra":{"d":1,"d":2})"))->extra.dump(), R"({"d":2})");
}

TEST(JsonRecord, RefusalsReportTheFaultWithItsPosition) {
  for (const auto& [document, error] : std::vector<std::pair<std::string, std::string>>{
           {R"({"name":"a","name":"b","count":1,"small":2,"params":{}})", "duplicate field `name` at line 1 column 18"},
           {"{\"name\":\"a\",\n\"count\":1,\"params\":{}}", "missing field `small` at line 2 column 22"},
           {sample("18446744073709551616"), "invalid type: floating point `18446744073709551616`, expected u64 at line 1 column 40"},
           {sample("-1"), "invalid value: integer `-1`, expected u64 at line 1 column 22"},
           {sample("1.0"), "invalid type: floating point `1.0`, expected u64 at line 1 column 23"},
           {sample("\"1\""), "invalid type: string \"1\", expected u64 at line 1 column 23"},
           {R"({"name":"a","count":1,"small":4294967296,"params":{}})",
            "invalid value: integer `4294967296`, expected u32 at line 1 column 40"},
           {R"({"name":"a","count":1,"small":1,"params":{"v":1}})", "invalid type: integer `1`, expected a string at line 1 column 47"},
           {sample() + " {}", "syntax error while parsing value - unexpected '{'; expected end of input at line 1 column 46"},
           {"{\n  \"name\": tru\n}",
            "syntax error while parsing value - invalid literal; last read: '\"name\": tru<U+000A>' at line 3 column 0"},
           {"{\"name\":\"\xff\"}", "syntax error while parsing value - invalid string: ill-formed UTF-8 byte; last read: "
                                  "'\"\xEF\xBF\xBD' at line 1 column 10"},
           {R"(["n",1,2,{}])", "invalid type: sequence, expected struct Sample at line 1 column 12"},
           {std::string("{}\0{}", 5), "syntax error while parsing value - invalid character NUL at line 1 column 3"},
           {"", "syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal at line 1 column 0"},
           {sample("1", ",\"extra\":" + std::string(200, '[') + std::string(200, ']')), "recursion limit exceeded at line 1 column 180"}}) {
    EXPECT_EQ(read_json<Sample>(document).error().describe(), error) << document;
  }
}

// Every y_ file of the public conformance suite parses, every n_ file is
// refused, and no i_ file crashes the parser.
TEST(JsonConformance, PublicSuite) {
  const std::filesystem::path suite = QUORVEX_JSON_SUITE_DIR;
  if (!std::filesystem::is_directory(suite)) GTEST_SKIP() << "conformance suite not found at " << suite;
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(suite)) {
    const std::string name = entry.path().filename().string();
    const auto parsed = parse_json(read_file(entry.path()).value());
    if (name.starts_with("y_")) {
      EXPECT_TRUE(parsed.has_value()) << name << ": " << parsed.error().message;
    } else if (name.starts_with("n_")) {
      EXPECT_FALSE(parsed.has_value()) << name << " was accepted";
    }
    ++checked;
  }
  EXPECT_GT(checked, 300);
}

}  // namespace
}  // namespace quorvex
