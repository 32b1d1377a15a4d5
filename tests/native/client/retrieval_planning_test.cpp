#include <gtest/gtest.h>

#include "client/retrieval_config.hpp"
#include "client/retrieval_padding.hpp"
#include "support/manifests.hpp"

namespace quorvex {
namespace {

std::string outcome(const Status& status) { return status ? "ok" : status.error().display(); }

struct ConfigCase {
  std::uint64_t top_k;
  std::uint64_t retrieval_count;
  std::string supported;  // under "simplepir-rs-v0-1000-1k"
  std::string other;      // under the toy profile
};

class ConfigRules : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigRules, ApplyInOrder) {
  const RetrievalConfig config{GetParam().top_k, GetParam().retrieval_count};
  const auto params = [](std::string_view profile) {
    return read_json<PirParamMap>(testing::manifest_pir_params(profile).dump()).value();
  };
  EXPECT_EQ(outcome(validate_retrieval_config_for_profile(params("simplepir-rs-v0-1000-1k"), config)),
            GetParam().supported);
  EXPECT_EQ(outcome(validate_retrieval_config_for_profile(params("toy-development-only-v0"), config)),
            GetParam().other);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigRules,
    ::testing::Values(
        ConfigCase{2, 4, "ok", "ok"}, ConfigCase{1, 9, "format error: PIR parameter_profile simplepir-rs-v0-1000-1k "
                                                      "requires top_k 2, got 1",
                                               "ok"},
        ConfigCase{2, 5, "format error: PIR parameter_profile simplepir-rs-v0-1000-1k requires retrieval_count 4, got 5",
                   "ok"},
        ConfigCase{0, 4, "format error: top_k must be greater than zero", "format error: top_k must be greater than zero"},
        ConfigCase{1, 0, "format error: retrieval_count must be greater than zero",
                   "format error: retrieval_count must be greater than zero"},
        ConfigCase{3, 2, "format error: retrieval_count 2 must be greater than or equal to top_k 3",
                   "format error: retrieval_count 2 must be greater than or equal to top_k 3"}));

TEST(ConfigRules, AbsentProfileHasNoRule) {
  EXPECT_EQ(outcome(validate_retrieval_config_for_profile(PirParamMap{}, RetrievalConfig{1, 7})), "ok");
  EXPECT_EQ(RetrievalConfig::create(0, 1).error().display(), "format error: top_k must be greater than zero");
}

struct PaddingCase {
  std::vector<std::uint64_t> hits;
  std::uint64_t record_count;
  std::uint64_t retrieval_count;
  std::vector<std::uint64_t> padded;
};

class Padding : public ::testing::TestWithParam<PaddingCase> {};

TEST_P(Padding, HitsFirstThenSmallestNonHits) {
  const auto& c = GetParam();
  const auto padded = padded_retrieval_record_ids(c.hits, c.record_count, RetrievalConfig{1, c.retrieval_count});
  ASSERT_TRUE(padded.has_value()) << padded.error().display();
  EXPECT_EQ(*padded, c.padded);
}

INSTANTIATE_TEST_SUITE_P(Cases, Padding,
                         ::testing::Values(PaddingCase{{17, 3}, 1000, 4, {17, 3, 0, 1}},
                                           PaddingCase{{0, 1}, 1000, 4, {0, 1, 2, 3}},
                                           PaddingCase{{2}, 3, 4, {2, 0, 1, 0}},
                                           PaddingCase{{1, 0}, 2, 4, {1, 0, 0, 1}},
                                           PaddingCase{{5, 5}, 10, 2, {5, 5}},
                                           PaddingCase{{}, 3, 5, {0, 1, 2, 0, 1}}));

TEST(Padding, Refusals) {
  const std::vector<std::uint64_t> hits{1, 2, 3};
  EXPECT_EQ(padded_retrieval_record_ids(hits, 0, RetrievalConfig{1, 4}).error().display(),
            "format error: cannot pad PIR retrieval for an empty record store");
  EXPECT_EQ(padded_retrieval_record_ids(hits, 10, RetrievalConfig{1, 2}).error().display(),
            "format error: selected record count 3 exceeds retrieval_count 2");
  EXPECT_EQ(padded_retrieval_record_ids(hits, 3, RetrievalConfig{1, 4}).error().display(),
            "record id 3 is out of range for 3 records");
}

}  // namespace
}  // namespace quorvex
