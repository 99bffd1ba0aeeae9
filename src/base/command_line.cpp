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

std::vector<std::u16string> split_command_line(std::u16string_view line) {
  std::size_t i = 0;
  const auto at = [&](char16_t c) { return i < line.size() && line[i] == c; };
  const auto at_blank = [&] { return at(u' ') || at(u'\t'); };

  std::vector<std::u16string> out(1);
  if (at(u'"')) {
    for (++i; i < line.size() && !at(u'"'); ++i) out[0].push_back(line[i]);
    if (at(u'"')) ++i;
  } else {
    for (; i < line.size() && !at_blank(); ++i) out[0].push_back(line[i]);
  }

  for (;;) {
    while (at_blank()) ++i;
    if (i == line.size()) return out;
    std::u16string& arg = out.emplace_back();
    bool quoted = false;
    while (i < line.size() && (quoted || !at_blank())) {
      std::size_t backslashes = 0;
      for (; at(u'\\'); ++i) ++backslashes;
      if (!at(u'"')) {
        arg.append(backslashes, u'\\');
        if (i < line.size() && (quoted || !at_blank())) arg.push_back(line[i++]);
        continue;
      }
      arg.append(backslashes / 2, u'\\');
      ++i;
      if (backslashes % 2 == 1) {
        arg.push_back(u'"');
      } else if (quoted && at(u'"')) {
        arg.push_back(u'"');
        ++i;
        quoted = false;
      } else {
        quoted = !quoted;
      }
    }
  }
}

WideBuffer to_wide_nul(std::string_view text) {
  const std::u16string wide_text = utf8_to_utf16(text);
  WideBuffer buffer(wide_text.begin(), wide_text.end());
  buffer.push_back(u'\0');
  return buffer;
}

}  // namespace tessarin
