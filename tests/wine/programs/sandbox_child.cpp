// A stand-in for the command a run starts, for the Wine tests:
//   sandbox_child.exe exit <code>
//   sandbox_child.exe heartbeat <file>          writes a rising count every 50 ms
//   sandbox_child.exe orphan <file> <code>      starts a heartbeat, exits <code>
//   sandbox_child.exe tree <file> <file>        starts a heartbeat, beats itself
//   sandbox_child.exe caller <pid file> <ms>    writes its pid, lives <ms>
//   sandbox_child.exe leak <handle value>       says whether it can write there
// Every heartbeat stops by itself after a minute, so nothing outlives a test
// run for long even when the job under test fails to end it.

#include <windows.h>

#include <string>
#include <vector>

#include "base/command_line.h"
#include "support/program_support.h"

namespace {

using program_support::exists;
using program_support::own_path;
using program_support::Write;
using program_support::write_file;
using tessarin::win32::UniqueHandle;
using tessarin::win32::wide;

int heartbeat(const std::string& file) {
  for (int beat = 1; beat <= 1200; ++beat) {
    write_file(file, std::to_string(beat), Write::Replace);
    Sleep(50);
  }
  return 0;
}

// Starts this program again as `heartbeat <file>` and waits until it beats.
void start_heartbeat(const std::string& self, const std::string& file) {
  tessarin::WideBuffer line = tessarin::build_command_line({self, "heartbeat", file});
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, wide(line), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    ExitProcess(121);
  }
  const UniqueHandle process(info.hProcess);
  const UniqueHandle thread(info.hThread);
  for (int i = 0; i < 400 && !exists(file); ++i) Sleep(25);
}

}  // namespace

int main() {
  const auto all = program_support::arguments();
  if (!all || all->size() < 3) return 120;
  const std::vector<std::string>& args = *all;
  const std::string& mode = args[1];
  if (mode == "exit") ExitProcess(static_cast<UINT>(std::stoul(args[2])));
  if (mode == "heartbeat") return heartbeat(args[2]);
  if (mode == "orphan" && args.size() >= 4) {
    start_heartbeat(own_path(), args[2]);
    ExitProcess(static_cast<UINT>(std::stoul(args[3])));
  }
  if (mode == "tree" && args.size() >= 4) {
    start_heartbeat(own_path(), args[3]);
    return heartbeat(args[2]);
  }
  if (mode == "leak") {
    const auto handle = reinterpret_cast<HANDLE>(std::stoull(args[2]));
    DWORD written = 0;
    const bool usable = WriteFile(handle, "leaked", 6, &written, nullptr) != FALSE;
    program_support::print(usable ? "handle usable\n" : "handle unusable\n");
    return 0;
  }
  if (mode == "caller" && args.size() >= 4) {
    write_file(args[2], std::to_string(GetCurrentProcessId()), Write::Replace);
    Sleep(static_cast<DWORD>(std::stoul(args[3])));
    return 0;
  }
  return 120;
}
