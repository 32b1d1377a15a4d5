#include "pir/os_random.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace quorvex {
namespace {

// Entropy sources for the tests. A source is a plain function, so what it
// records and replays lives here, reset by each test.
struct Script {
  std::vector<std::size_t> requests;  // lengths asked for, in order
  std::size_t zero_draws = 0;         // calls answered with zero bytes first
  int fail_with = 0;                  // errno of a failing call (-1: no errno)
  std::size_t fail_at_call = 0;       // calls before the failing one
  std::uint8_t next_byte = 0;         // counting pattern for the other calls
};
Script script;

int scripted_source(void* buffer, std::size_t length) {
  script.requests.push_back(length);
  const std::size_t call = script.requests.size() - 1;
  if (script.fail_with != 0 && call == script.fail_at_call) {
    if (script.fail_with > 0) errno = script.fail_with;
    return -1;
  }
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  if (call < script.zero_draws) {
    std::memset(bytes, 0, length);
    return 0;
  }
  for (std::size_t k = 0; k < length; ++k) bytes[k] = script.next_byte++;
  return 0;
}

class OsRandom : public ::testing::Test {
 protected:
  void SetUp() override { script = Script{}; }
};

TEST_F(OsRandom, RequestsAreServedInPiecesOfAtMost256Bytes) {
  std::vector<std::byte> out(600);
  ASSERT_TRUE(os_random_bytes(out, scripted_source).has_value());
  EXPECT_EQ(script.requests, (std::vector<std::size_t>{256, 256, 88}));
  for (std::size_t k = 0; k < out.size(); ++k) ASSERT_EQ(out[k], std::byte(k % 256));
}

TEST_F(OsRandom, FirstFailingPieceEndsTheRequest) {
  script.fail_with = EIO;
  script.fail_at_call = 1;
  std::vector<std::byte> out(600);
  const auto filled = os_random_bytes(out, scripted_source);
  ASSERT_FALSE(filled.has_value());
  EXPECT_EQ(filled.error().code, EIO);
  EXPECT_EQ(script.requests.size(), 2u);
}

struct FailureText {
  int errno_value;
  const char* text;
};

class EntropyFailure : public OsRandom, public ::testing::WithParamInterface<FailureText> {};

TEST_P(EntropyFailure, EveryDrawReportsOsRandomnessUnavailable) {
  const std::string expected = std::string("format error: OS randomness unavailable: ") + GetParam().text;
  script.fail_with = GetParam().errno_value;
  const auto seed = draw_query_seed(scripted_source);
  ASSERT_FALSE(seed.has_value());
  EXPECT_EQ(seed.error().display(), expected);
  script.requests.clear();
  const auto secret = random_secret_vector(3, scripted_source);
  ASSERT_FALSE(secret.has_value());
  EXPECT_EQ(secret.error().display(), expected);
  script.requests.clear();
  const auto error = random_error_vector(3, scripted_source);
  ASSERT_FALSE(error.has_value());
  EXPECT_EQ(error.error().display(), expected);
}

INSTANTIATE_TEST_SUITE_P(Errnos, EntropyFailure,
                         ::testing::Values(FailureText{EIO, "Input/output error"},
                                           FailureText{ENOSYS, "Function not implemented"},
                                           FailureText{4000, "OS Error: 4000"},
                                           FailureText{-1, "errno: did not return a positive value"}));

TEST_F(OsRandom, AllZeroSeedDrawsAreRepeated) {
  script.zero_draws = 2;
  const auto seed = draw_query_seed(scripted_source);
  ASSERT_TRUE(seed.has_value());
  EXPECT_EQ(script.requests, (std::vector<std::size_t>{8, 8, 8}));
  EXPECT_EQ(*seed, 0x0706050403020100u);
}

TEST_F(OsRandom, SecretValuesAreWholeLittleEndianWordsFromOneRequest) {
  const auto secret = random_secret_vector(40, scripted_source);
  ASSERT_TRUE(secret.has_value());
  EXPECT_EQ(script.requests, (std::vector<std::size_t>{256, 64}));
  ASSERT_EQ(secret->size(), 40u);
  EXPECT_EQ((*secret)[0], 0x0706050403020100u);
  EXPECT_EQ((*secret)[31], 0xFFFEFDFCFBFAF9F8u);
  EXPECT_EQ((*secret)[32], 0x0706050403020100u);
}

TEST_F(OsRandom, ErrorValuesAreByteModThree) {
  const auto error = random_error_vector(256, scripted_source);
  ASSERT_TRUE(error.has_value());
  ASSERT_EQ(error->size(), 256u);
  std::array<int, 3> counts{};
  for (std::size_t k = 0; k < 256; ++k) {
    ASSERT_EQ((*error)[k], static_cast<std::int64_t>(k % 3) - 1);
    ASSERT_EQ(sample_error(static_cast<std::uint8_t>(k)), (*error)[k]);
    ++counts[static_cast<std::size_t>((*error)[k] + 1)];
  }
  EXPECT_EQ(counts, (std::array<int, 3>{86, 85, 85}));
}

TEST_F(OsRandom, EmptyErrorVectorRequestsNothing) {
  script.fail_with = EIO;
  const auto error = random_error_vector(0, scripted_source);
  ASSERT_TRUE(error.has_value());
  EXPECT_TRUE(error->empty());
  EXPECT_TRUE(script.requests.empty());
}

TEST(OsRandomSystem, TheOperatingSystemSourceWorks) {
  const auto seed = draw_query_seed();
  ASSERT_TRUE(seed.has_value());
  EXPECT_NE(*seed, 0u);
  const auto first = random_secret_vector(64);
  const auto second = random_secret_vector(64);
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_NE(*first, *second);
  const auto error = random_error_vector(1000);
  ASSERT_TRUE(error.has_value());
  EXPECT_TRUE(std::ranges::all_of(*error, [](std::int64_t e) { return e >= -1 && e <= 1; }));
}

}  // namespace
}  // namespace quorvex
