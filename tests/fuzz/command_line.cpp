// The child's command line, split again by an independent reading of the
// documented Windows rules, gives back every element. The input is the list
// of elements, UTF-8 texts separated by NUL bytes. The rules read:
// - the program name runs to the first blank or tab outside double quotes;
//   a double quote only opens or closes a quoted part, and a backslash is a
//   plain character;
// - each later argument runs to the first blank or tab outside a quoted
//   part; 2n backslashes before a double quote give n backslashes and the
//   quote opens or closes a quoted part, 2n+1 give n backslashes and a
//   literal quote, and backslashes before anything else are literal;
// - two double quotes inside a quoted part give a literal quote. The current
//   C runtime stays inside the quoted part after them, older start-up code
//   leaves it; the line must not depend on which, so it is split both ways.
// The program name can come back only when it holds no double quote and,
// when it needs quotes, does not end in a backslash; no Windows file name
// breaks either rule.

#include "base/command_line.h"
#include "fuzz.h"

using namespace tessarin;

namespace {

bool is_blank(char16_t c) {
  return c == u' ' || c == u'\t';
}

std::vector<std::u16string> split(std::u16string_view line, bool stay_inside) {
  std::vector<std::u16string> elements(1);
  std::size_t i = 0;
  bool quoted = false;
  for (; i < line.size() && (quoted || !is_blank(line[i])); ++i) {
    if (line[i] == u'"') {
      quoted = !quoted;
    } else {
      elements[0] += line[i];
    }
  }
  for (;;) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i == line.size()) return elements;
    std::u16string& element = elements.emplace_back();
    quoted = false;
    while (i < line.size() && (quoted || !is_blank(line[i]))) {
      if (line[i] == u'\\') {
        std::size_t n = 0;
        for (; i < line.size() && line[i] == u'\\'; ++i) ++n;
        const bool before_quote = i < line.size() && line[i] == u'"';
        element.append(before_quote ? n / 2 : n, u'\\');
        if (before_quote && n % 2 == 1) {
          element += u'"';
          ++i;
        }
      } else if (line[i] != u'"') {
        element += line[i++];
      } else if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
        element += u'"';
        i += 2;
        quoted = stay_inside;
      } else {
        quoted = !quoted;
        ++i;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> command = fuzz::split_texts(data, size);
  if (command.empty()) return 0;
  const WideBuffer buffer = build_command_line(command);
  fuzz::check(!buffer.empty() && buffer.back() == 0, "no final 0 unit");
  const std::u16string_view line(buffer.data(), buffer.size() - 1);
  fuzz::check(line.find(u'\0') == std::u16string_view::npos, "a 0 unit inside the line");

  const std::string& program = command[0];
  const bool needs_quotes = program.empty() || program.find_first_of(" \t") != std::string::npos;
  if (program.find('"') != std::string::npos || (needs_quotes && program.ends_with('\\'))) {
    return 0;
  }
  for (const bool stay_inside : {true, false}) {
    const auto elements = split(line, stay_inside);
    bool equal = elements.size() == command.size();
    for (std::size_t k = 0; equal && k < elements.size(); ++k) {
      equal = utf16_to_utf8_strict(elements[k]) == command[k];
    }
    fuzz::check(equal, "the line splits into other elements", utf16_to_utf8_lossy(line));
  }
  return 0;
}
