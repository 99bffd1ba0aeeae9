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

TEST(SplitCommandLine, FollowsTheWindowsRules) {
  using Split = std::vector<std::u16string>;
  const struct {
    std::u16string_view line;
    Split expected;
  } cases[] = {
      {u"", {u""}},
      {u"  a", {u"", u"a"}},  // a leading blank leaves the program name empty
      {u"\"C:\\Program Files\\x\\\"y z", {u"C:\\Program Files\\x\\", u"y", u"z"}},
      {u"C:\\a\\\" b", {u"C:\\a\\\"", u"b"}},  // no escapes in the program name
      {u"p a\\\\b \\\\\"c d\" e\\\\\\\"f", {u"p", u"a\\\\b", u"\\c d", u"e\\\"f"}},
      {u"p \"a b\"c\t \"\" x\ny", {u"p", u"a bc", u"", u"x\ny"}},
      {u"p \"a\"\"b c\" \"\"\"\"", {u"p", u"a\"b", u"c \""}},  // "" ends the group
      {u"p \"unclosed \\", {u"p", u"unclosed \\"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(split_command_line(c.line), c.expected) << std::string(c.line.begin(), c.line.end());
  }
  // What the helper quotes for its children, it also reads back.
  const std::vector<std::string> command{"p", "", "a b\\", "\"q\"", "\\\\\"", "\t"};
  const WideBuffer line = build_command_line(command);
  Split expected;
  for (const auto& element : command) expected.push_back(utf8_to_utf16(element));
  EXPECT_EQ(split_command_line(std::u16string_view(line.data(), line.size() - 1)), expected);
}

}  // namespace
}  // namespace tessarin
