#include "base/text.h"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

// The tool's complaint is trimmed with this; every White_Space character must
// go, and nothing that merely looks blank.
TEST(TrimUnicodeWhiteSpace, KnowsTheWholeWhiteSpaceSet) {
  EXPECT_EQ(
      trim_unicode_white_space(" \t\r\n\v\f\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80"
                               "\xE2\x80\x8A"
                               "a \xE3\x80\x80 b"
                               "\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"),
      "a \xE3\x80\x80 b");
  // Zero-width space, Mongolian vowel separator, byte-order mark, U+FFFD.
  const std::string lookalikes = "\xE2\x80\x8B\xE1\xA0\x8E\xEF\xBB\xBF\xEF\xBF\xBD";
  EXPECT_EQ(trim_unicode_white_space(lookalikes + "x" + lookalikes), lookalikes + "x" + lookalikes);
}

}  // namespace
}  // namespace tessarin
