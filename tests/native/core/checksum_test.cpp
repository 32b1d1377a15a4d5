#include "core/checksum.hpp"

#include <gtest/gtest.h>

#include "core/json_decode.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

constexpr std::string_view kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr std::string_view kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
// 100000 bytes 'q': more than one piece of the streaming hash.
constexpr std::string_view kBigDigest = "7572f8be61469d7d661f13f715581800783290dd80d64a9a96932218fb32b3dc";

std::string entry(std::string_view path, std::string_view digest, std::uint64_t size) {
  return concat('"', path, R"(":{"sha256":")", digest, R"(","size_bytes":)", size, '}');
}

class Checksums : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("index/ids.bin", "abc");
    dir_.write("index/empty.bin", "");
    dir_.write("big.bin", std::string(100000, 'q'));
  }
  static ChecksumManifest manifest(std::string_view entries, std::string_view algorithm = "sha256") {
    return read_json<ChecksumManifest>(concat(R"({"algorithm":")", algorithm, R"(","files":{)", entries, "}}")).value();
  }
  std::string check(std::string_view entries, std::string_view algorithm = "sha256") const {
    const std::vector<std::string_view> paths = {"index/ids.bin", "index/empty.bin", "big.bin"};
    return testing::outcome(manifest(entries, algorithm).validate_files(dir_.path(), paths));
  }
  testing::TempDir dir_;
};

const std::string kIds = entry("index/ids.bin", kAbcDigest, 3);
const std::string kValid = concat(kIds, ",", entry("index/empty.bin", kEmptyDigest, 0), ",",
                                  entry("big.bin", kBigDigest, 100000));
const std::string kUpperAbc = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

// (entries, algorithm, outcome): the first failure in the caller's order of files.
TEST_F(Checksums, ReportTheFirstFailureInCallerOrder) {
  for (const auto& [entries, algorithm, expected] : std::vector<std::tuple<std::string, std::string, std::string>>{
        {kValid + "," + entry("gone.bin", "00", 9), "sha256", "ok"},
        {kValid, "SHA256", "format error: unsupported checksum algorithm: SHA256"},
        {kValid, "sha-256", "format error: unsupported checksum algorithm: sha-256"},
        {entry("./index/ids.bin", kAbcDigest, 3), "sha256", "missing checksum entry for index/ids.bin"},
        {entry("index/ids.bin", kUpperAbc, 3), "sha256",
             concat("checksum mismatch for index/ids.bin: expected ", kUpperAbc, ", got ", kAbcDigest)},
        {entry("index/ids.bin", kAbcDigest, 4), "sha256",
             "format error: size mismatch for index/ids.bin: expected 4, got 3"},
        {concat(entry("index/ids.bin", "00", 3), ",", entry("index/empty.bin", "11", 1)),
             "sha256", concat("checksum mismatch for index/ids.bin: expected 00, got ", kAbcDigest)},
        {concat(kIds, ",", entry("index/empty.bin", "x", 0)), "sha256",
             concat("checksum mismatch for index/empty.bin: expected x, got ", kEmptyDigest)},
        {concat(kValid, ",", entry("big.bin", kAbcDigest, 3)), "sha256",
             concat("checksum mismatch for big.bin: expected ", kAbcDigest, ", got ", kBigDigest)}}) {
    EXPECT_EQ(check(entries, algorithm), expected) << entries;
  }
}

TEST_F(Checksums, UnreadableFileIsAnIoErrorWithTheJoinedPath) {
  std::filesystem::remove(dir_.path() / "big.bin");
  EXPECT_EQ(check(kValid), "I/O error for " + (dir_.path() / "big.bin").string() + ": No such file or directory (os error 2)");
}

TEST_F(Checksums, ReadVerifiedHashesWhatTheParserLeavesUnread) {
  const ChecksumManifest checksums = manifest(concat(kIds, ",", entry("big.bin", kAbcDigest, 3)));
  const auto first_byte = checksums.read_verified(dir_.path(), "index/ids.bin", [](InputFile& file) -> Result<char> {
    char byte = 0;
    QV_TRY(file.read_exact(std::span(&byte, 1)));
    return byte;
  });
  EXPECT_EQ(first_byte.value().value(), 'a');
  EXPECT_EQ(checksums.read_verified_file(dir_.path(), "index/ids.bin").value(), "abc");
  // A file longer than its entry is hashed whole, but not kept.
  EXPECT_EQ(testing::outcome(checksums.read_verified_file(dir_.path(), "big.bin")),
            concat("checksum mismatch for big.bin: expected ", kAbcDigest, ", got ", kBigDigest));
  EXPECT_EQ(testing::outcome(checksums.verify_contents("index/ids.bin", "abc")), "ok");
  EXPECT_TRUE(checksums.verify_contents("index/ids.bin", "abd").error().is<QuorvexError::ChecksumMismatch>());
}

}  // namespace
}  // namespace quorvex
