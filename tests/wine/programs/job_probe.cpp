// Drives the kill-on-close job half of the launch with an unconfined child,
// since Wine cannot create AppContainer processes:
//   job_probe.exe <caller pid> <cwd> <program> [argument]...
// Prints "exit <code>" or "error <message>" on standard output and exits with
// the child's code, or 77 after an error.

#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/launcher.h"
#include "run/launch.h"
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
