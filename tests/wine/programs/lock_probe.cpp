// Drives the Win32 named lock, for the Wine tests:
//   lock_probe.exe <name> <hold ms> <log file> [keep]
// Takes the lock, appends "take <pid> <wait result>" to the log, holds it for
// <hold ms>, appends "drop <pid>" and releases it. With "keep" it exits while
// holding the lock, which abandons it.

#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/named_lock.h"
#include "support/program_support.h"

namespace {

void append(const std::string& path, const std::string& line) {
  program_support::write_file(path, line, program_support::Write::Append);
}

}  // namespace

int main() {
  const auto all = program_support::arguments();
  if (!all || all->size() < 4) return 120;
  const std::vector<std::string>& args = *all;
  const std::string pid = std::to_string(GetCurrentProcessId());
  tessarin::win32::Win32LockApi locks;
  auto mutex = locks.create_mutex(args[1]);
  if (!mutex) {
    append(args[3], "create failed " + std::to_string(mutex.error()) + "\n");
    return 1;
  }
  const std::uint32_t woken = (*mutex)->wait();
  append(args[3], "take " + pid + " " + std::to_string(woken) + "\n");
  Sleep(static_cast<DWORD>(std::stoul(args[2])));
  if (args.size() > 4 && args[4] == "keep") ExitProcess(0);
  append(args[3], "drop " + pid + "\n");
  (*mutex)->release();
  return 0;
}
