#include "core/checksum.hpp"

#include <gtest/gtest.h>

#include <array>

#include "core/json_decode.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

constexpr const char* kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char* kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

class Checksums : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("index/ids.bin", "abc");
    dir_.write("index/empty.bin", "");
  }
  ChecksumManifest manifest(std::string_view files_json, std::string_view algorithm = "sha256") const {
    return read_json<ChecksumManifest>(concat(R"({"algorithm":")", algorithm, R"(","files":)", files_json, "}")).value();
  }
  Status check(const ChecksumManifest& checksums, std::vector<std::string_view> paths) const {
    return checksums.validate_files(dir_.path(), paths);
  }
  testing::TempDir dir_;
};

TEST(ToHex, LowerCaseHighNibbleFirst) {
  const std::array<unsigned char, 4> bytes{0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(to_hex(bytes), "000fa0ff");
}

TEST_F(Checksums, MatchingFilesPassAndUnlistedEntriesAreIgnored) {
  const auto checksums = manifest(concat(R"({"index/ids.bin":{"sha256":")", kAbcDigest,
                                         R"(","size_bytes":3},"index/empty.bin":{"sha256":")", kEmptyDigest,
                                         R"(","size_bytes":0},"gone.bin":{"sha256":"00","size_bytes":9}})"));
  EXPECT_TRUE(check(checksums, {"index/ids.bin", "index/empty.bin"}).has_value());
}

struct Failure {
  std::string name;
  std::string files;
  std::string algorithm;
  std::string error;
};

class ChecksumFailure : public Checksums, public ::testing::WithParamInterface<Failure> {};

TEST_P(ChecksumFailure, ReportsTheFirstFailureInCallerOrder) {
  const Status status = check(manifest(GetParam().files, GetParam().algorithm), {"index/ids.bin", "index/empty.bin"});
  ASSERT_FALSE(status.has_value());
  std::string expected = GetParam().error;
  const std::string root_marker = "{root}";
  if (const auto at = expected.find(root_marker); at != std::string::npos) {
    expected.replace(at, root_marker.size(), dir_.path().string());
  }
  EXPECT_EQ(status.error().display(), expected);
}

const std::string kUpperAbc = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

INSTANTIATE_TEST_SUITE_P(
    Cases, ChecksumFailure,
    ::testing::Values(
        Failure{"algorithm_upper", "{}", "SHA256", "format error: unsupported checksum algorithm: SHA256"},
        Failure{"algorithm_hyphen", "{}", "sha-256", "format error: unsupported checksum algorithm: sha-256"},
        Failure{"missing", R"({"./index/ids.bin":{"sha256":"x","size_bytes":3}})", "sha256",
                "missing checksum entry for index/ids.bin"},
        Failure{"upper_case_digest", concat(R"({"index/ids.bin":{"sha256":")", kUpperAbc, R"(","size_bytes":3}})"),
                "sha256", concat("checksum mismatch for index/ids.bin: expected ", kUpperAbc, ", got ", kAbcDigest)},
        Failure{"size_after_digest", concat(R"({"index/ids.bin":{"sha256":")", kAbcDigest, R"(","size_bytes":4}})"),
                "sha256", "format error: size mismatch for index/ids.bin: expected 4, got 3"},
        Failure{"first_of_two_wrong",
                concat(R"({"index/ids.bin":{"sha256":"00","size_bytes":3},"index/empty.bin":{"sha256":"11","size_bytes":1}})"),
                "sha256", concat("checksum mismatch for index/ids.bin: expected 00, got ", kAbcDigest)},
        Failure{"second_file_after_first_passes",
                concat(R"({"index/ids.bin":{"sha256":")", kAbcDigest,
                       R"(","size_bytes":3},"index/empty.bin":{"sha256":"x","size_bytes":0}})"),
                "sha256", "checksum mismatch for index/empty.bin: expected x, got " + std::string(kEmptyDigest)}),
    [](const auto& test_case) { return test_case.param.name; });

TEST_F(Checksums, UnreadableFileIsAnIoErrorWithTheJoinedPath) {
  const auto checksums = manifest(R"({"pir/client_hint.bin":{"sha256":"00","size_bytes":0}})");
  const Status status = check(checksums, {"pir/client_hint.bin"});
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().display(), "I/O error for " + (dir_.path() / "pir/client_hint.bin").string() +
                                          ": No such file or directory (os error 2)");
}

TEST_F(Checksums, FileLargerThanOnePieceIsHashedWhole) {
  dir_.write("big.bin", std::string(100000, 'q'));
  // SHA-256 of 100000 bytes 'q', computed independently.
  const auto checksums = manifest(
      R"({"big.bin":{"sha256":"7572f8be61469d7d661f13f715581800783290dd80d64a9a96932218fb32b3dc","size_bytes":100000}})");
  EXPECT_TRUE(check(checksums, {"big.bin"}).has_value());
}

TEST_F(Checksums, ReadVerifiedHashesWhatTheParserLeavesUnread) {
  const auto checksums = manifest(concat(R"({"index/ids.bin":{"sha256":")", kAbcDigest, R"(","size_bytes":3}})"));
  const auto first_byte = checksums.read_verified(dir_.path(), "index/ids.bin", [](InputFile& file) -> Result<char> {
    char byte = 0;
    QV_TRY(file.read_exact(std::span(&byte, 1)));
    return byte;
  });
  ASSERT_TRUE(first_byte.has_value());
  EXPECT_EQ(first_byte->value(), 'a');
  EXPECT_EQ(checksums.read_verified_file(dir_.path(), "index/ids.bin").value(), "abc");
  EXPECT_TRUE(checksums.verify_contents("index/ids.bin", "abc").has_value());
  EXPECT_TRUE(checksums.verify_contents("index/ids.bin", "abd").error().is<QuorvexError::ChecksumMismatch>());
}

TEST_F(Checksums, FileLongerThanItsEntryIsHashedWholeButNotKept) {
  dir_.write("big.bin", std::string(100000, 'q'));
  const auto checksums = manifest(concat(R"({"big.bin":{"sha256":")", kAbcDigest, R"(","size_bytes":3}})"));
  const auto contents = checksums.read_verified_file(dir_.path(), "big.bin");
  ASSERT_FALSE(contents.has_value());
  EXPECT_EQ(contents.error().display(),
            concat("checksum mismatch for big.bin: expected ", kAbcDigest,
                   ", got 7572f8be61469d7d661f13f715581800783290dd80d64a9a96932218fb32b3dc"));
}

}  // namespace
}  // namespace quorvex
