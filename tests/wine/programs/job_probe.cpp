// Drives the kill-on-close job half of the launch with an unconfined child,
// since Wine cannot create AppContainer processes:
//   job_probe.exe <caller pid> <cwd> <program> [argument]...
// Prints "exit <code>" or "error <message>" on standard output and exits with
// the child's code, or 77 after an error.

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win32/launcher.h"
#include "run/launch.h"

namespace {
void print(const std::string& line) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
            nullptr);
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
  if (args.size() < 4) {
    print("error usage: job_probe.exe <caller pid> <cwd> <program> [argument]...\n");
    return 120;
  }
  const auto pid = static_cast<std::uint32_t>(std::stoul(args[1]));
  const std::vector<std::string> command(args.begin() + 3, args.end());
  tessarin::win32::Win32LaunchApi api;
  const auto outcome = tessarin::run_in_kill_on_close_job(api, command, args[2], pid, nullptr);
  if (!outcome) {
    print("error " + outcome.error() + "\n");
    return 77;
  }
  print("exit " + std::to_string(*outcome) + "\n");
  return static_cast<int>(*outcome);
}
