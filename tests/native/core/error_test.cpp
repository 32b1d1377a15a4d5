#include "core/error.hpp"

#include <gtest/gtest.h>

#include "core/file_io.hpp"
#include "support/temp_dir.hpp"

namespace quorvex {
namespace {

using namespace std::string_literals;

// Every kind's text is pinned by the tests of the code that reports it; what
// is left is how a path that is not text is shown.
TEST(Error, PathsThatAreNotTextAreShownLossyOrRefused) {
  EXPECT_EQ(QuorvexError::io("bad\xff/x", IoSource::unexpected_eof()).display(),
            "I/O error for bad\xEF\xBF\xBD/x: failed to fill whole buffer");
  // A path with a NUL byte is refused, not truncated.
  EXPECT_EQ(testing::outcome(InputFile::open("/etc/passwd\0/manifest.json"s)),
            "I/O error for /etc/passwd\0/manifest.json: file name contained an unexpected NUL byte"s);
}

}  // namespace
}  // namespace quorvex
