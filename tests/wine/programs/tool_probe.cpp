// Drives the Win32 tool runner from the command line, for the Wine tests:
//   tool_probe.exe inherit <bare name> [argument]...
//   tool_probe.exe capture <bare name> [argument]...
// Prints one line to standard output: "exit <code>" or "error <text>"; for
// capture also "stderr <hex of the captured bytes>".

#include <windows.h>

#include <shellapi.h>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win32/win32_platform.h"

namespace {
void print(const std::string& line) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
            nullptr);
}
std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}
}  // namespace

int main() {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) {
    args.push_back(tessarin::utf16_to_utf8_lossy(reinterpret_cast<const char16_t*>(argv[i])));
  }
  LocalFree(argv);
  if (args.size() < 3) return 120;
  auto platform = tessarin::win32::make_platform();
  const std::vector<std::string> rest(args.begin() + 3, args.end());
  if (args[1] == "inherit") {
    auto code = platform->get().tools.run_inheriting(args[2], rest);
    print(code ? "exit " + std::to_string(*code) + "\n" : "error " + code.error().text + "\n");
  } else {
    auto run = platform->get().tools.run_capturing(args[2], rest);
    if (run) {
      print("exit " + std::to_string(run->exit_code) + "\nstderr " + hex(run->standard_error) +
            "\n");
    } else {
      print("error " + run.error().text + "\n");
    }
  }
  return 0;
}
