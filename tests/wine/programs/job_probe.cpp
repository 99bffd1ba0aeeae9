// Drives the kill-on-close job half of the launch with an unconfined child,
// since Wine cannot create AppContainer processes:
//   job_probe.exe <caller pid> <cwd> <program> [argument]...
// Prints "exit <code>" or "error <message>" on standard output and exits with
// the child's code, or 77 after an error. An argument "@LEAK@<file>" becomes
// the value of an inheritable handle that writes to <file>, a handle a caller
// might have leaked to the helper; the probe then also makes its own standard
// output non-inheritable, which the child must still be able to write to.

#include <windows.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "platform/win32/console_guard.h"
#include "platform/win32/launcher.h"
#include "platform/win32/owners.h"
#include "platform/win32/process.h"
#include "run/supervise.h"
#include "support/program_support.h"

using program_support::print;

int main() {
  const auto all = program_support::arguments();
  if (!all || all->size() < 4) {
    print("error usage: job_probe.exe <caller pid> <cwd> <program> [argument]...\n");
    return 120;
  }
  const std::vector<std::string>& args = *all;
  const auto pid = static_cast<std::uint32_t>(std::stoul(args[1]));
  std::vector<std::string> command(args.begin() + 3, args.end());
  std::vector<tessarin::win32::UniqueHandle> leaked;
  for (std::string& argument : command) {
    if (argument.rfind("@LEAK@", 0) != 0) continue;
    const std::u16string path = tessarin::utf8_to_utf16(argument.substr(6));
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    leaked.emplace_back(CreateFileW(tessarin::win32::wide(path), GENERIC_WRITE, FILE_SHARE_READ,
                                    &inherit, CREATE_ALWAYS, 0, nullptr));
    argument = std::to_string(reinterpret_cast<std::uintptr_t>(leaked.back().get()));
    SetHandleInformation(GetStdHandle(STD_OUTPUT_HANDLE), HANDLE_FLAG_INHERIT, 0);
  }
  tessarin::win32::Win32LaunchApi api;
  tessarin::win32::Win32ConsoleEvents console;
  tessarin::win32::Win32ProcessApi processes;
  auto caller = tessarin::open_caller(processes, pid);
  if (!caller) {
    print("error " + caller.error() + "\n");
    return 77;
  }
  const auto outcome = tessarin::run_in_kill_on_close_job(api, console, processes, command, args[2],
                                                          **caller, nullptr);
  if (!outcome) {
    print("error " + outcome.error() + "\n");
    return 77;
  }
  print("exit " + std::to_string(*outcome) + "\n");
  return static_cast<int>(*outcome);
}
