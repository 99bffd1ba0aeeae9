#pragma once
// Command lines for CreateProcessW, quoted so that the standard Windows
// argument splitting reads every element back unchanged.

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

// UTF-16 with one terminating 0 unit, for every text handed to a Windows call.
WideBuffer to_wide_nul(std::string_view text);

}  // namespace tessarin
