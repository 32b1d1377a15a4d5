#include "core/manifest.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "core/chunk.hpp"
#include "core/json_file.hpp"
#include "support/manifests.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using nlohmann::ordered_json;
using testing::supported_manifest_json;
using testing::toy_manifest_json;

Status validate(const ordered_json& document) {
  auto manifest = read_json<BundleManifest>(document.dump());
  if (!manifest) return std::unexpected(QuorvexError::json_label("manifest", manifest.error()));
  return manifest->validate_v0();
}

ordered_json& params(ordered_json& m) { return m["pir_params"]; }

TEST(Manifest, RulesInOrder) {
  for (const auto& [mutate, error] : std::vector<std::pair<std::function<void(ordered_json&)>, std::string>>{
        {[](auto&) {}, "ok"},
        {[](auto& m) {
               params(m)["parameter_profile"] = "simplepir-rs-experimental-v0";
               params(m)["security_status"] = "experimental-unaudited";
             }, "ok"},
        {[](auto& m) {
               m = toy_manifest_json();
               m["embedding_dimensions"] = 3;
               m["chunk_count"] = m["pir_record_count"] = 5000;
               m["record_size_bytes"] = m["pir_record_size_bytes"] = 4;
             }, "ok"},
        {[](auto& m) { m["quorvex_version"] = " \t"; }, "format error: manifest quorvex_version cannot be empty"},
        {[](auto& m) { m["quorvex_version"] = " 0.1.0"; },
             "format error: unsupported Quorvex version:  0.1.0; expected 0.1.0"},
        {[](auto& m) { m["bundle_id"] = "\t \t"; }, "format error: manifest bundle_id cannot be empty"},
        {[](auto& m) { m["bundle_version"] = ""; }, "format error: manifest bundle_version cannot be empty"},
        {[](auto& m) { m["embedding_model"] = "\u3000"; }, "format error: manifest embedding_model cannot be empty"},
        {[](auto& m) { m["created_at"] = " "; }, "format error: manifest created_at cannot be empty"},
        {[](auto& m) { m["embedding_dimensions"] = 0; },
             "format error: manifest embedding_dimensions must be greater than zero"},
        {[](auto& m) { m["chunk_count"] = 0; }, "format error: manifest chunk_count must be greater than zero"},
        {[](auto& m) { m["record_size_bytes"] = 3; },
             "format error: manifest record_size_bytes must leave room for a length prefix"},
        {[](auto& m) { m["index_format"] = "quorvex-index-v1"; },
             "format error: unsupported index format: quorvex-index-v1"},
        {[](auto& m) { m["pir_store_format"] = "x"; }, "format error: unsupported PIR store format: x"},
        {[](auto& m) { m["pir_scheme"] = "SimplePIR-lwe-v0"; },
             "format error: unsupported PIR scheme: SimplePIR-lwe-v0"},
        // The balanced scheme belongs to the balanced profile, and that profile to it.
        {[](auto& m) { m = testing::manifest_json("simplepir-balanced-128-v1", 1000000, 1024, 384); }, "ok"},
        {[](auto& m) { m["pir_scheme"] = "simplepir-balanced-lwe-v1"; },
             "format error: unsupported PIR scheme: simplepir-balanced-lwe-v1"},
        {[](auto& m) {
               m = testing::manifest_json("simplepir-balanced-128-v1", 5, 1024, 384);
               m["pir_scheme"] = "simplepir-lwe-v0";
             }, "format error: PIR parameter_profile simplepir-balanced-128-v1 requires PIR scheme "
                "simplepir-balanced-lwe-v1, got simplepir-lwe-v0"},
        {[](auto& m) { m["pir_params"] = ordered_json::object(); }, "format error: missing PIR params schema_version"},
        {[](auto& m) { params(m)["schema_version"] = "2"; }, "format error: unsupported PIR params schema_version: 2"},
        {[](auto& m) { m["pir_record_count"] = 999; },
             "format error: PIR record count 999 does not match manifest chunk count 1000"},
        {[](auto& m) { m["pir_record_size_bytes"] = 512; },
             "format error: PIR record size 512 does not match chunk record size 1024"},
        {[](auto& m) { params(m).erase("parameter_profile"); }, "format error: missing PIR parameter_profile"},
        {[](auto& m) { params(m)["parameter_profile"] = "simplepir-v9"; },
             "format error: unsupported PIR parameter_profile: simplepir-v9"},
        {[](auto& m) { params(m).erase("security_status"); },
             "format error: missing PIR security_status for simplepir-rs-v0-1000-1k"},
        {[](auto& m) { params(m)["security_status"] = "Supported-v0-unaudited"; },
             "format error: unsupported PIR security_status for simplepir-rs-v0-1000-1k: Supported-v0-unaudited; "
             "expected supported-v0-unaudited"},
        {[](auto& m) { params(m)["parameter_profile"] = "toy-development-only-v0"; },
             "format error: unsupported PIR security_status for toy-development-only-v0: supported-v0-unaudited; "
             "expected experimental-unaudited"},
        {[](auto& m) { m["embedding_dimensions"] = 768; },
             "format error: PIR parameter_profile simplepir-rs-v0-1000-1k requires 384-dimensional embeddings, got 768"},
        // The record count before the record size.
        {[](auto& m) {
               m["chunk_count"] = m["pir_record_count"] = 1001;
               m["record_size_bytes"] = m["pir_record_size_bytes"] = 512;
             }, "format error: PIR parameter_profile simplepir-rs-v0-1000-1k supports at most 1000 records, got 1001"},
        {[](auto& m) { m["record_size_bytes"] = m["pir_record_size_bytes"] = 512; },
             "format error: PIR parameter_profile simplepir-rs-v0-1000-1k requires 1024-byte records, got 512"},
        {[](auto& m) { m["pir_artifacts"]["scheme"] = " "; }, "format error: pir_artifacts.scheme cannot be empty"},
        // The first bad artifact path is reported.
        {[](auto& m) {
               m["pir_artifacts"]["client_hint"] = "./pir/client_hint.bin";
               m["pir_artifacts"]["server_hint"] = "";
             }, "format error: pir_artifacts.client_hint must be pir/client_hint.bin, got ./pir/client_hint.bin"},
        {[](auto& m) { m["pir_artifacts"]["server_hint"] = "pir/server.bin"; },
             "format error: pir_artifacts.server_hint must be pir/server_hint.bin, got pir/server.bin"},
        {[](auto& m) { params(m)["schema_version"] = 1; },
             "JSON error for manifest: invalid type: integer `1`, expected a string at line 1 column 323"},
        {[](auto& m) { m.erase("created_at"); },
             "JSON error for manifest: missing field `created_at` at line 1 column 822"}}) {
    auto manifest = supported_manifest_json();
    mutate(manifest);
    EXPECT_EQ(testing::outcome(validate(manifest)), error) << manifest.dump();
  }
}

TEST(Manifest, ReadJsonFileReportsIoAndJsonErrorsWithThePath) {
  testing::TempDir dir;
  const auto path = dir.path() / "manifest.json";
  EXPECT_EQ(testing::outcome(read_json_file<BundleManifest>(path)),
            "I/O error for " + path.string() + ": No such file or directory (os error 2)");
  dir.write("manifest.json", supported_manifest_json().dump() + "\n{}");
  EXPECT_TRUE(testing::outcome(read_json_file<BundleManifest>(path)).starts_with("JSON error for " + path.string() + ": "));
  EXPECT_TRUE(testing::outcome(read_json_file<BundleManifest>(dir.path())).ends_with("Is a directory (os error 21)"));
}

TEST(ChunkRecords, MetadataIsOptionalAndOtherKeysRequired) {
  const auto chunk = read_json<ChunkRecord>(R"({"record_id":3,"chunk_id":"c","document_id":"d","text":"t"})");
  ASSERT_TRUE(chunk.has_value());
  EXPECT_TRUE(chunk->metadata.is_null());
  EXPECT_EQ(chunk->record_id, 3u);
  const auto line = read_json<IndexMetadataRecord>(R"({"record_id":1,"chunk_id":"c","document_id":"d","metadata":{"b":2,"a":1}})");
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->metadata.dump(), R"({"a":1,"b":2})");
  EXPECT_EQ(read_json<ChunkRecord>(R"({"record_id":3,"chunk_id":"c","document_id":"d"})").error().message,
            "missing field `text`");
}

}  // namespace
}  // namespace quorvex
