#include <gtest/gtest.h>

#include "base/path.h"
#include "base/text.h"

namespace tessarin {
namespace {

TEST(Utf16, StrictConversionRefusesUnpairedSurrogatesLossyReplacesThem) {
  EXPECT_EQ(utf16_to_utf8_strict(u"a\u00e9\U0001F600"), "a\xc3\xa9\xf0\x9f\x98\x80");
  const std::u16string lone_high = {u'a', 0xD800, u'b'};
  const std::u16string lone_low = {0xDC00};
  const std::u16string reversed = {0xDC00, 0xD800};
  const std::u16string high_then_private_use = {0xD800, 0xE000};
  EXPECT_FALSE(utf16_to_utf8_strict(lone_high));
  EXPECT_FALSE(utf16_to_utf8_strict(high_then_private_use));
  EXPECT_FALSE(utf16_to_utf8_strict(lone_low));
  EXPECT_FALSE(utf16_to_utf8_strict(reversed));
  EXPECT_EQ(utf16_to_utf8_lossy(lone_high),
            "a\xef\xbf\xbd"
            "b");
  EXPECT_EQ(utf16_to_utf8_lossy(reversed), "\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(utf8_to_utf16("\xf0\x9f\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
}

TEST(Utf8, ValidationAndReplacementFollowMaximalSubparts) {
  EXPECT_TRUE(is_valid_utf8("plain \xc2\x80 \xc3\xa9 \xe2\x82\xac \xf4\x8f\xbf\xbf"));
  for (const char* bad : {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff",
                          "\xc3", "\xe2\x82"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
  // A truncated sequence is one replacement; a stray continuation byte is one each.
  EXPECT_EQ(utf8_lossy("a\xe2\x82z"), "a\xef\xbf\xbdz");
  EXPECT_EQ(utf8_lossy("\x80\x80"), "\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(utf8_lossy("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(Utf8, TrimsUnicodeWhiteSpaceAtBothEndsOnly) {
  EXPECT_EQ(trim_unicode_white_space(" \t\r\n Access is denied.\r\n"), "Access is denied.");
  EXPECT_EQ(trim_unicode_white_space("\xc2\xa0x y\xe3\x80\x80"), "x y");  // NBSP, ideographic
  EXPECT_EQ(trim_unicode_white_space(" \r\n "), "");
  EXPECT_EQ(trim_unicode_white_space("\xe2\x80\x80x\xe2\x80\x8a"), "x");  // U+2000, U+200A
  EXPECT_EQ(trim_unicode_white_space("\xe2\x80\x8bx"), "\xe2\x80\x8bx");  // ZWSP is not white space
}

TEST(Numbers, HexIsEightLowerCaseDigits) {
  EXPECT_EQ(hex8(0), "00000000");
  EXPECT_EQ(hex8(0x800700B7u), "800700b7");
}

TEST(Paths, ParentsNamesAndExtensions) {
  EXPECT_EQ(parent_path("C:\\a\\b.json"), "C:\\a");
  EXPECT_EQ(parent_path("C:\\a"), "C:\\");
  EXPECT_EQ(parent_path("\\\\?\\C:\\work"), "\\\\?\\C:\\");
  EXPECT_EQ(parent_path("\\\\server\\share\\x"), "\\\\server\\share\\");
  EXPECT_EQ(parent_path("\\\\?\\UNC\\server\\share\\x"), "\\\\?\\UNC\\server\\share\\");
  EXPECT_EQ(parent_path("\\\\.\\C:\\a\\b\\"), "\\\\.\\C:\\a");  // trailing separator
  EXPECT_EQ(parent_path("C:/a//b"), "C:/a");
  EXPECT_FALSE(parent_path("C:\\"));
  EXPECT_FALSE(parent_path("\\\\?\\C:\\"));
  EXPECT_FALSE(parent_path("\\\\?\\UNC\\server\\share\\"));
  EXPECT_FALSE(parent_path("\\\\server\\share"));
  EXPECT_FALSE(parent_path("name.json"));
  EXPECT_FALSE(parent_path(""));
  EXPECT_EQ(replace_extension("C:\\s\\setup-v1.json", "tmp"), "C:\\s\\setup-v1.tmp");
  EXPECT_EQ(replace_extension("C:\\l\\Tessarin.Sandbox.v1.ReadOnly.Offline.json", "tmp-42"),
            "C:\\l\\Tessarin.Sandbox.v1.ReadOnly.Offline.tmp-42");
  EXPECT_EQ(join_path("C:\\", "x"), "C:\\x");
  EXPECT_EQ(join_path("C:\\a", "x"), "C:\\a\\x");
  // A link's recorded target, placed by its text: never above the root.
  EXPECT_EQ(resolve_relative("\\\\?\\C:\\w\\a", "..\\..\\..\\x"), "\\\\?\\C:\\x");
  EXPECT_EQ(resolve_relative("\\\\?\\C:\\w\\a", "\\x\\.\\y"), "\\\\?\\C:\\x\\y");
  EXPECT_EQ(resolve_relative("\\\\?\\UNC\\s\\share\\a", "..\\..\\x"), "\\\\?\\UNC\\s\\share\\x");
  EXPECT_FALSE(resolve_relative("\\\\?\\C:\\w", "D:x"));
  EXPECT_FALSE(resolve_relative("\\\\?\\C:\\w", "C:\\x"));
  EXPECT_EQ(lexically_normal("\\\\?\\C:\\w\\..\\..\\x\\."), "\\\\?\\C:\\x");
  EXPECT_FALSE(lexically_normal("\\\\?\\C:ws\\x"));
}

}  // namespace
}  // namespace tessarin
