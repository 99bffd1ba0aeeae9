#pragma once
// Command lines for CreateProcessW, quoted so that the standard Windows
// argument splitting reads every element back unchanged, and that splitting
// itself, for the helper's own command line.

#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace tessarin {

// The element as written into a command line: unchanged when it is not empty
// and holds no blank, tab or double quote; otherwise in double quotes, with
// the backslashes before a double quote (or before the closing quote)
// doubled and the double quote escaped.
std::string quote_argument(std::string_view element);

// Every element quoted, joined by single blanks, as UTF-16 with one final 0.
WideBuffer build_command_line(const std::vector<std::string>& command);

// The elements of a command line by the standard Windows rules: the program
// name up to the first blank or tab, or between a leading pair of double
// quotes, with no escapes; then blank- and tab-separated arguments, where
// double quotes group, 2n backslashes before a double quote give n and the
// quote groups, 2n+1 give n and a literal quote, and a doubled quote inside
// quotes gives one literal quote and ends the group. Always at least one
// element; an empty line gives one empty program name.
std::vector<std::u16string> split_command_line(std::u16string_view line);

// UTF-16 with one terminating 0 unit, for every text handed to a Windows call.
WideBuffer to_wide_nul(std::string_view text);

}  // namespace tessarin
