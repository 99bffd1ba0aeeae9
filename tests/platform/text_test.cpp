#include "platform/text.h"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSubpartOnce) {
  EXPECT_EQ(utf8_lossy("plain \xC3\xA9 \xF0\x9F\x98\x80"), "plain \xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(utf8_lossy("\xE2\x82"
                       "A"),
            kFffd + "A");                                        // cut-off sequence: one
  EXPECT_EQ(utf8_lossy("\xF0\x9F\x98"), kFffd);                  // cut off at the end
  EXPECT_EQ(utf8_lossy("\xC0\xAF"), kFffd + kFffd);              // overlong: each byte
  EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), kFffd + kFffd + kFffd);  // surrogate: each byte
  EXPECT_EQ(utf8_lossy("\xF4\x90\x80\x80"), kFffd + kFffd + kFffd + kFffd);  // above U+10FFFF
  EXPECT_EQ(utf8_lossy("\x80\xFF"), kFffd + kFffd);
  EXPECT_EQ(utf8_lossy(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_FALSE(is_valid_utf8("\xE0\x9F\xBF"));
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));
}

TEST(TrimUnicodeWhiteSpace, StripsWhiteSpaceCharactersOnlyAtTheEnds) {
  EXPECT_EQ(
      trim_unicode_white_space(" \t\r\n\v\f\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x8A"
                               "a \xE3\x80\x80 b"
                               "\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"),
      "a \xE3\x80\x80 b");
  EXPECT_EQ(trim_unicode_white_space(" \r\n "), "");
  EXPECT_EQ(trim_unicode_white_space(""), "");
  // Not White_Space: zero-width space, Mongolian vowel separator, U+FFFD.
  EXPECT_EQ(trim_unicode_white_space("\xE2\x80\x8Bx\xE1\xA0\x8E"), "\xE2\x80\x8Bx\xE1\xA0\x8E");
  EXPECT_EQ(trim_unicode_white_space(kFffd + " "), kFffd);
}

}  // namespace
}  // namespace tessarin
