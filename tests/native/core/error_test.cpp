#include "core/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "core/file_io.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using namespace std::string_literals;

TEST(Error, DisplayShowsTheFixedText) {
  for (const auto& [error, text] : std::vector<std::pair<QuorvexError, std::string>>{
           {QuorvexError::io("cache/manifest.json", IoSource::os(ENOENT)),
            "I/O error for cache/manifest.json: No such file or directory (os error 2)"},
           {QuorvexError::io("cache/index/ids.bin", IoSource::unexpected_eof()),
            "I/O error for cache/index/ids.bin: failed to fill whole buffer"},
           {QuorvexError::io("m.jsonl", IoSource::invalid_utf8()), "I/O error for m.jsonl: stream did not contain valid UTF-8"},
           {QuorvexError::io("bad\xff/x", IoSource::unexpected_eof()), "I/O error for bad\xEF\xBF\xBD/x: failed to fill whole buffer"},
           {QuorvexError::json("c/manifest.json", JsonError{"missing field `bundle_id`", 3, 1}),
            "JSON error for c/manifest.json: missing field `bundle_id` at line 3 column 1"},
           {QuorvexError::json_label("batched-pir-response", JsonError{"trailing", 1, 9}),
            "JSON error for batched-pir-response: trailing at line 1 column 9"},
           {QuorvexError::format("top_k must be greater than zero"), "format error: top_k must be greater than zero"},
           {QuorvexError::record_out_of_range(7, 7), "record id 7 is out of range for 7 records"},
           {QuorvexError::missing_checksum("index/ids.bin"), "missing checksum entry for index/ids.bin"},
           {QuorvexError::checksum_mismatch("index/ids.bin", "ab", "cd"), "checksum mismatch for index/ids.bin: expected ab, got cd"}}) {
    EXPECT_EQ(error.display(), text);
  }
  // A path with a NUL byte is refused, not truncated.
  EXPECT_EQ(testing::outcome(InputFile::open("/etc/passwd\0/manifest.json"s)),
            "I/O error for /etc/passwd\0/manifest.json: file name contained an unexpected NUL byte"s);
}

}  // namespace
}  // namespace quorvex
