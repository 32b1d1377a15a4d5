#include "index/index_config.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "core/json_decode.hpp"
#include "support/index_files.hpp"

namespace quorvex {
namespace {

IndexConfig valid_config() {
  return read_json<IndexConfig>(testing::index_config_json("hashing-384-v1", 384, 1000).dump()).value();
}

std::string error_of(const Status& status) { return status.has_value() ? "no error" : status.error().display(); }

struct Rule {
  std::string name;
  std::function<void(IndexConfig&, BundleManifest&)> breaks;
  std::string error;
};

class IndexConfigRule : public ::testing::TestWithParam<Rule> {};

TEST_P(IndexConfigRule, ReportsItsMessage) {
  IndexConfig config = valid_config();
  BundleManifest manifest = read_json<BundleManifest>(testing::supported_manifest_json().dump()).value();
  ASSERT_EQ(error_of(config.validate_against_manifest(manifest)), "no error");
  GetParam().breaks(config, manifest);
  EXPECT_EQ(error_of(config.validate_against_manifest(manifest)), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, IndexConfigRule,
    ::testing::Values(
        Rule{"index_format", [](IndexConfig& c, BundleManifest&) { c.index_format = "quorvex-index-v1"; },
             "format error: unsupported index format: quorvex-index-v1"},
        Rule{"distance_metric", [](IndexConfig& c, BundleManifest&) { c.distance_metric = "cosine"; },
             "format error: unsupported distance metric: cosine"},
        Rule{"blank_model", [](IndexConfig& c, BundleManifest&) { c.embedding_model = " \t\u3000"; },
             "format error: index embedding_model cannot be empty"},
        Rule{"zero_dimensions",
             [](IndexConfig& c, BundleManifest&) {
               c.embedding_dimensions = 0;
               c.vector_count = 0;
             },
             "format error: index embedding_dimensions must be greater than zero"},
        Rule{"zero_count", [](IndexConfig& c, BundleManifest&) { c.vector_count = 0; },
             "format error: index vector_count must be greater than zero"},
        Rule{"model_differs",
             [](IndexConfig& c, BundleManifest&) {
               c.embedding_model = "Hashing-384-v1";
               c.vector_count = 5;
             },
             "format error: index embedding model Hashing-384-v1 does not match manifest hashing-384-v1"},
        Rule{"dimensions_differ",
             [](IndexConfig& c, BundleManifest&) {
               c.embedding_dimensions = 383;
               c.vector_count = 5;
             },
             "format error: index dimensions 383 do not match manifest 384"},
        Rule{"count_differs", [](IndexConfig&, BundleManifest& m) { m.chunk_count = 999; },
             "format error: index vector count 1000 does not match manifest chunk count 999"}),
    [](const auto& param) { return param.param.name; });

TEST(IndexConfig, DuplicateKeyIsAJsonError) {
  const auto config = read_json<IndexConfig>(
      R"({"index_format":"quorvex-index-v0","index_format":"quorvex-index-v0","distance_metric":"cosine_similarity",)"
      R"("embedding_model":"m","embedding_dimensions":1,"vector_count":1})");
  ASSERT_FALSE(config.has_value());
  EXPECT_NE(config.error().describe().find("duplicate field `index_format`"), std::string::npos);
}

}  // namespace
}  // namespace quorvex
