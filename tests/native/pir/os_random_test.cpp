#include "pir/os_random.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/text.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using testing::outcome;

// A scripted entropy source: it records the lengths asked for, answers the
// first `zero_draws` calls with zeros, fails call `fail_at_call` with
// `fail_with` (-1: without errno) and otherwise counts 0, 1, 2, ...
struct Script {
  std::vector<std::size_t> requests;
  std::size_t zero_draws = 0, fail_at_call = 0;
  int fail_with = 0;
  std::uint8_t next_byte = 0;
} script;

int scripted_source(void* buffer, std::size_t length) {
  const std::size_t call = script.requests.size();
  script.requests.push_back(length);
  if (script.fail_with != 0 && call == script.fail_at_call) {
    if (script.fail_with > 0) errno = script.fail_with;
    return -1;
  }
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  for (std::size_t k = 0; k < length; ++k) bytes[k] = call < script.zero_draws ? 0 : script.next_byte++;
  return 0;
}

class OsRandom : public ::testing::Test {
 protected:
  void SetUp() override { script = Script{}; }
};

TEST_F(OsRandom, PiecesOfAtMost256BytesUntilTheFirstFailure) {
  std::vector<std::byte> out(600);
  ASSERT_TRUE(os_random_bytes(out, scripted_source).has_value());
  EXPECT_EQ(script.requests, (std::vector<std::size_t>{256, 256, 88}));
  for (std::size_t k = 0; k < out.size(); ++k) ASSERT_EQ(out[k], std::byte(k % 256));
  script = Script{};
  script.fail_at_call = 1;
  script.fail_with = EIO;
  EXPECT_EQ(os_random_bytes(out, scripted_source).error().code, EIO);
  EXPECT_EQ(script.requests.size(), 2u);
}

TEST_F(OsRandom, EveryDrawReportsTheFailure) {
  for (const auto& [errno_value, text] : {std::pair<int, const char*>{EIO, "Input/output error"}, {4000, "OS Error: 4000"},
                                          {-1, "errno: did not return a positive value"}}) {
    const std::string expected = concat("format error: OS randomness unavailable: ", text);
    script.fail_with = errno_value;
    EXPECT_EQ(outcome(draw_query_seed(scripted_source)), expected);
    script.requests.clear();
    EXPECT_EQ(outcome(random_secret_vector(3, scripted_source)), expected);
    script.requests.clear();
    EXPECT_EQ(outcome(random_error_vector(3, scripted_source)), expected);
    script.requests.clear();
  }
  EXPECT_TRUE(random_error_vector(0, scripted_source).value().empty());  // nothing requested, nothing failed
  EXPECT_TRUE(script.requests.empty());
}

TEST_F(OsRandom, SeedsSecretsAndErrorsFromTheBytes) {
  script.zero_draws = 2;  // all-zero seeds are drawn again
  EXPECT_EQ(draw_query_seed(scripted_source).value(), 0x0706050403020100u);
  EXPECT_EQ(script.requests, (std::vector<std::size_t>{8, 8, 8}));
  script = Script{};
  const auto secret = random_secret_vector(40, scripted_source).value();  // whole little-endian words
  EXPECT_EQ(script.requests, (std::vector<std::size_t>{256, 64}));
  ASSERT_EQ(secret.size(), 40u);
  EXPECT_EQ(secret[31], 0xFFFEFDFCFBFAF9F8u);
  EXPECT_EQ(secret[32], 0x0706050403020100u);
  script = Script{};
  const auto error = random_error_vector(256, scripted_source).value();  // byte mod 3, minus 1
  ASSERT_EQ(error.size(), 256u);
  for (std::size_t k = 0; k < 256; ++k) ASSERT_EQ(error[k], static_cast<std::int64_t>(k % 3) - 1);
}

TEST(OsRandomSystem, TheOperatingSystemSourceWorks) {
  EXPECT_NE(draw_query_seed().value(), 0u);
  EXPECT_NE(random_secret_vector(64).value(), random_secret_vector(64).value());
  const auto error = random_error_vector(1000).value();
  EXPECT_TRUE(std::ranges::all_of(error, [](std::int64_t e) { return e >= -1 && e <= 1; }));
}

}  // namespace
}  // namespace quorvex
