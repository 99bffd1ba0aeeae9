#include "base/command_line.h"

namespace tessarin {

std::string quote_argument(std::string_view element) {
  if (!element.empty() && element.find_first_of(" \t\"") == std::string_view::npos) {
    return std::string(element);
  }
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : element) {
    if (c == '\\') {
      ++backslashes;
    } else if (c == '"') {
      out.append(2 * backslashes + 1, '\\');
      out.push_back('"');
      backslashes = 0;
    } else {
      // Bytes of a non-ASCII character are never a blank, quote or backslash,
      // so copying byte by byte copies whole characters.
      out.append(backslashes, '\\');
      out.push_back(c);
      backslashes = 0;
    }
  }
  out.append(2 * backslashes, '\\');
  out.push_back('"');
  return out;
}

WideBuffer build_command_line(const std::vector<std::string>& command) {
  std::string line;
  for (std::size_t i = 0; i < command.size(); ++i) {
    if (i != 0) line.push_back(' ');
    line += quote_argument(command[i]);
  }
  return to_wide_nul(line);
}

WideBuffer to_wide_nul(std::string_view text) {
  const std::u16string wide_text = utf8_to_utf16(text);
  WideBuffer buffer(wide_text.begin(), wide_text.end());
  buffer.push_back(u'\0');
  return buffer;
}

}  // namespace tessarin
