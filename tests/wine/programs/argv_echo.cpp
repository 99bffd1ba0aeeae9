// Writes back the arguments this process received, as two parsers read its
// command line: the C runtime's start-up code (the argv of wmain) and
// CommandLineToArgvW. Each goes on one line of standard output:
//
//   <parser> <count> <element> <element>...\n
//
// where every element is its number of UTF-16 units, a colon and the units as
// four lower-case hexadecimal digits each, so that empty elements, blanks,
// line feeds and unpaired surrogates all come back exactly.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "support/program_support.h"

namespace {

void append_elements(std::string& out, const char* parser, int count, wchar_t** argv) {
  out += parser;
  out += ' ';
  out += std::to_string(count);
  for (int i = 0; i < count; ++i) {
    const std::size_t length = std::wcslen(argv[i]);
    out += ' ';
    out += std::to_string(length);
    out += ':';
    for (std::size_t k = 0; k < length; ++k) {
      char unit[5];
      std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(argv[i][k]) & 0xFFFFu);
      out += unit;
    }
  }
  out += '\n';
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::string out;
  append_elements(out, "crt", argc, argv);

  int count = 0;
  wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
  if (split == nullptr) return 3;
  const tessarin::win32::UniqueLocal owner(split);
  append_elements(out, "shell", count, split);

  return program_support::write_stream(STD_OUTPUT_HANDLE, out) ? 0 : 4;
}
