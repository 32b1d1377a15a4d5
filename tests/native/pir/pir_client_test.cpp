// PirClient: built from the manifest and the cache's PIR files only when the
// three descriptions of the setup agree; its batches, answered by the
// server engine, decode to the chunks in query order.
#include "pir/pir_client.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "support/served_store.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using nlohmann::ordered_json;
using testing::outcome;

constexpr const char* kToy = "toy-development-only-v0";

// A toy store of five chunk records, its scheme and client hint in a cache directory.
class PirFiles : public ::testing::Test {
 protected:
  Result<PirClient> build(std::string_view profile, const ordered_json& scheme, const std::optional<std::string>& hint,
                          std::uint64_t records, std::uint64_t record_size) const {
    dir_.write("pir/scheme.json", scheme.dump());
    if (hint) dir_.write("pir/client_hint.bin", *hint);
    else std::filesystem::remove(dir_.path() / "pir/client_hint.bin");
    const auto manifest = read_json<BundleManifest>(testing::manifest_json(profile, records, record_size, 384).dump());
    return PirClient::from_public_manifest_and_cache(manifest.value(), dir_.path());
  }
  PirClient toy() const { return build(kToy, testing::scheme_json(kToy, 5, 96), hint_, 5, 96).value(); }

  testing::TempDir dir_;
  testing::ToyStore server_{testing::chunk_records(5, 96), 21};
  std::string hint_ = testing::toy_hint_file(server_.artifact).text();
};

// Each case breaks one thing; "{root}" stands for the cache directory.
TEST_F(PirFiles, BuildReportsTheFirstDisagreement) {
  for (const auto& [breaks, error] :
       std::vector<std::pair<std::function<void(ordered_json&, std::optional<std::string>&)>, std::string>>{
        {[](auto&, auto&) {}, "ok"},
        {[](auto& s, auto&) { s = "{"; },
                  "JSON error for {root}/pir/scheme.json: invalid type: string \"{\", expected struct "
                  "PirSchemeMetadata at line 1 column 3"},
        {[](auto& s, auto&) { s["params"]["security_status"] = "Experimental-unaudited"; },
                  "format error: unsupported PIR security_status for toy-development-only-v0: "
                  "Experimental-unaudited; expected experimental-unaudited"},
        {[](auto& s, auto&) { s["params"]["record_count"] = 6; },
                  "format error: PIR scheme artifact does not match manifest PIR metadata"},
        {[](auto& s, auto&) { s["artifacts"]["server_hint"] = "pir/server_hint.bin "; },
                  "format error: PIR scheme artifact does not match manifest PIR metadata"},
        {[](auto&, auto& h) { h.reset(); },
                  "I/O error for {root}/pir/client_hint.bin: No such file or directory (os error 2)"},
        {[](auto&, auto& h) { h = testing::simplepir_rs_hint(5, 96).text(); },
                  "format error: client_hint.bin has an unsupported SimplePIR magic header"}}) {
    ordered_json scheme = testing::scheme_json(kToy, 5, 96);
    std::optional<std::string> hint = hint_;
    breaks(scheme, hint);
    EXPECT_EQ(outcome(build(kToy, scheme, hint, 5, 96)), testing::with_root(error, dir_.path()));
  }
}

TEST_F(PirFiles, DecodesTheChunksOfEveryQueryInOrder) {
  const PirClient client = toy();
  const std::vector<std::uint64_t> ids{4, 1, 1, 0};
  const PreparedBatchedPirQuery prepared = client.generate_batched_query(ids).value();
  EXPECT_EQ(prepared.query.retrieval_count, 4u);
  const auto chunks = client.decode_batched_response_chunks(prepared.contexts, server_.answer(prepared.query));
  ASSERT_EQ(chunks.value().size(), 4u);
  for (std::size_t k = 0; k < ids.size(); ++k) {
    EXPECT_EQ((*chunks)[k].record_id, ids[k]);
    EXPECT_EQ((*chunks)[k].text, concat("text ", ids[k]));
  }
}

TEST_F(PirFiles, RefusesMismatchedBatches) {
  const PirClient client = toy();
  EXPECT_EQ(outcome(client.generate_batched_query({})), "format error: batched PIR query must contain at least one record id");
  EXPECT_EQ(outcome(client.generate_batched_query(std::vector<std::uint64_t>{0, 5})), "record id 5 is out of range for 5 records");
  const PreparedBatchedPirQuery prepared = client.generate_batched_query(std::vector<std::uint64_t>{0, 1, 2}).value();
  EXPECT_EQ(outcome(client.decode_batched_response_chunks(std::span(prepared.contexts).first(2),
                                                          server_.answer(prepared.query))),
            "format error: batched PIR context count 2 does not match response count 3");
}

TEST_F(PirFiles, SupportedProfileRequiresFourQueries) {
  constexpr const char* kSupported = "simplepir-rs-v0-1000-1k";
  const testing::SimplePirRsStore server(testing::random_records(3, 1024, 9), 4);
  const std::string hint = testing::simplepir_rs_hint_file(server.artifact).text();
  const PirClient client = build(kSupported, testing::scheme_json(kSupported, 3, 1024), hint, 3, 1024).value();
  EXPECT_TRUE(std::holds_alternative<SimplePirRsClientArtifact>(client.artifact()));
  EXPECT_EQ(outcome(client.generate_batched_query(std::vector<std::uint64_t>{0, 1, 2})),
            "format error: PIR parameter_profile simplepir-rs-v0-1000-1k requires retrieval_count 4, got 3");
  EXPECT_EQ(client.generate_batched_query(std::vector<std::uint64_t>{2, 0, 1, 0}).value().contexts.size(), 4u);
}

}  // namespace
}  // namespace quorvex
