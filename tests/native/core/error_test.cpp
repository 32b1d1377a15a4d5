#include "core/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "core/file_io.hpp"

namespace quorvex {
namespace {

struct DisplayCase {
  const char* name;
  QuorvexError error;
  const char* text;
};

class ErrorDisplay : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(ErrorDisplay, ShowsTheFixedText) { EXPECT_EQ(GetParam().error.display(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    AllKinds, ErrorDisplay,
    ::testing::Values(
        DisplayCase{"io_os", QuorvexError::io("cache/manifest.json", IoSource::os(ENOENT)),
                    "I/O error for cache/manifest.json: No such file or directory (os error 2)"},
        DisplayCase{"io_eof", QuorvexError::io("cache/index/ids.bin", IoSource::unexpected_eof()),
                    "I/O error for cache/index/ids.bin: failed to fill whole buffer"},
        DisplayCase{"io_utf8", QuorvexError::io("m.jsonl", IoSource::invalid_utf8()),
                    "I/O error for m.jsonl: stream did not contain valid UTF-8"},
        DisplayCase{"io_lossy_path", QuorvexError::io("bad\xff/x", IoSource::unexpected_eof()),
                    "I/O error for bad\xEF\xBF\xBD/x: failed to fill whole buffer"},
        DisplayCase{"json", QuorvexError::json("c/manifest.json", JsonError{"missing field `bundle_id`", 3, 1}),
                    "JSON error for c/manifest.json: missing field `bundle_id` at line 3 column 1"},
        DisplayCase{"json_label", QuorvexError::json_label("batched-pir-response", JsonError{"trailing", 1, 9}),
                    "JSON error for batched-pir-response: trailing at line 1 column 9"},
        DisplayCase{"format", QuorvexError::format("top_k must be greater than zero"),
                    "format error: top_k must be greater than zero"},
        DisplayCase{"out_of_range", QuorvexError::record_out_of_range(7, 7),
                    "record id 7 is out of range for 7 records"},
        DisplayCase{"missing_checksum", QuorvexError::missing_checksum("index/ids.bin"),
                    "missing checksum entry for index/ids.bin"},
        DisplayCase{"mismatch", QuorvexError::checksum_mismatch("index/ids.bin", "ab", "cd"),
                    "checksum mismatch for index/ids.bin: expected ab, got cd"}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(Error, PathWithNulIsRefusedNotTruncated) {
  using namespace std::string_literals;
  const std::string path = "/etc/passwd\0/manifest.json"s;
  const auto opened = InputFile::open(path);
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().display(),
            "I/O error for /etc/passwd\0/manifest.json: file name contained an unexpected NUL byte"s);
}

TEST(Error, IoFromAMissingFileNamesTheFullPath) {
  const auto opened = InputFile::open("/nonexistent-quorvex-dir/manifest.json");
  ASSERT_FALSE(opened.has_value());
  EXPECT_TRUE(opened.error().is<QuorvexError::Io>());
  EXPECT_EQ(opened.error().display(),
            "I/O error for /nonexistent-quorvex-dir/manifest.json: No such file or directory (os error 2)");
}

Result<int> half(int value) {
  if (value % 2 != 0) return format_error("odd");
  return value / 2;
}

Result<int> quarter(int value) { return half(QV_TRY(half(value))); }

TEST(Error, TryPropagatesTheFirstFailureUnchanged) {
  EXPECT_EQ(quarter(8).value(), 2);
  ASSERT_FALSE(quarter(6).has_value());
  EXPECT_EQ(quarter(6).error().display(), "format error: odd");
}

}  // namespace
}  // namespace quorvex
