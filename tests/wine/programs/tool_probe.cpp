// Drives the Win32 tool runner from the command line, for the Wine tests:
//   tool_probe.exe inherit <bare name> [argument]...
//   tool_probe.exe inherit-stale-stderr <bare name> [argument]...
//   tool_probe.exe capture <bare name> [argument]...
//   tool_probe.exe capture-while <pid> <bare name> [argument]...
// Prints one line to standard output: "exit <code>" or "error <text>"; for
// capture also "stderr <hex of the captured bytes>". inherit-stale-stderr
// first makes the probe's standard error a value that names no handle, as a
// caller that passed one without letting it be inherited leaves it.
// capture-while ends the tool with process <pid>.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32/process.h"
#include "platform/win32/win32_platform.h"
#include "support/program_support.h"

using program_support::hex;
using program_support::print;

int main() {
  auto all = program_support::arguments();
  if (!all || all->size() < 3) return 120;
  std::vector<std::string>& args = *all;
  auto platform = tessarin::win32::make_platform();
  tessarin::win32::Win32ProcessApi processes;
  std::unique_ptr<tessarin::Handle> watched;
  if (args[1] == "capture-while") {
    watched = processes.open(static_cast<std::uint32_t>(std::stoul(args[2]))).value();
    platform->get().tools.end_with(watched.get());
    args.erase(args.begin() + 2);
  }
  const std::vector<std::string> rest(args.begin() + 3, args.end());
  if (args[1] == "inherit-stale-stderr") {
    SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(std::intptr_t{0x7ffc}));
  }
  if (args[1].starts_with("inherit")) {
    auto code = platform->get().tools.run_inheriting(args[2], rest, {});
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
