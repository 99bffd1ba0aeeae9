#include "base/command_line.h"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

TEST(QuoteArgument, LeavesPlainElementsAlone) {
  EXPECT_EQ(quote_argument("word"), "word");
  EXPECT_EQ(quote_argument("C:\\dir\\"), "C:\\dir\\");  // trailing backslash kept
  EXPECT_EQ(quote_argument("a\nb"), "a\nb");            // a line feed does not quote
  EXPECT_EQ(quote_argument("&|^%<>"), "&|^%<>");
}

TEST(QuoteArgument, QuotesBlanksTabsQuotesAndEmpty) {
  EXPECT_EQ(quote_argument(""), "\"\"");
  EXPECT_EQ(quote_argument("a b"), "\"a b\"");
  EXPECT_EQ(quote_argument("a\tb"), "\"a\tb\"");
  EXPECT_EQ(quote_argument("a b\\"), "\"a b\\\\\"");
  EXPECT_EQ(quote_argument("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(quote_argument("a\\\\\"b"), "\"a\\\\\\\\\\\"b\"");
  EXPECT_EQ(quote_argument("a\\b c"), "\"a\\b c\"");  // inner backslashes stay single
  EXPECT_EQ(quote_argument("\xc3\xa9 x"), "\"\xc3\xa9 x\"");
}

TEST(BuildCommandLine, JoinsQuotedElementsWithOneBlankAndEndsWithZero) {
  const WideBuffer line = build_command_line({"a", "b c", "d"});
  EXPECT_EQ(std::u16string(line.begin(), line.end()), std::u16string(u"a \"b c\" d\0", 10));
  const WideBuffer astral = to_wide_nul("\xf0\x9f\x98\x80");
  EXPECT_EQ(astral, (WideBuffer{0xD83D, 0xDE00, 0}));
}

}  // namespace
}  // namespace tessarin
