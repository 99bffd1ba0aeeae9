// Drives the Win32 identity locks, for the Wine tests:
//   lock_probe.exe <name> <hold ms> <log file> [keep] [file <lock file>]
//                  [unshared <lock file>]
// Takes the named mutex (and then, with "file", the lock on <lock file>,
// looking again every 20 ms while another process holds it), appends
// "take <pid> <wait result>" to the log, holds both for <hold ms>, appends
// "drop <pid>" and releases them. With "keep" it exits while holding the
// locks, which abandons the mutex. With "unshared" it opens <lock file> as a
// scanner might, sharing it with nobody, instead of locking it.

#include <windows.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "platform/win32/named_lock.h"
#include "platform/win32/owners.h"
#include "platform/win32/process.h"
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
  bool keep = false;
  std::string lock_file;
  std::string unshared_file;
  for (std::size_t i = 4; i < args.size(); ++i) {
    if (args[i] == "keep") keep = true;
    if (args[i] == "file" && i + 1 < args.size()) lock_file = args[++i];
    if (args[i] == "unshared" && i + 1 < args.size()) unshared_file = args[++i];
  }
  const std::string pid = std::to_string(GetCurrentProcessId());
  tessarin::win32::Win32ProcessApi processes;
  // Itself as the watched caller: it never ends while the probe waits.
  auto self = processes.open(GetCurrentProcessId());
  tessarin::win32::Win32LockApi locks;
  auto mutex = locks.create_mutex(args[1]);
  if (!self || !mutex) {
    append(args[3], "create failed\n");
    return 1;
  }
  auto waited = (*mutex)->acquire(**self);
  const DWORD woken = !waited ? WAIT_FAILED : waited->abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
  std::unique_ptr<tessarin::LockGuard> file;
  while (!lock_file.empty() && !file) {
    auto attempt = locks.try_lock_file(lock_file);
    if (!attempt) {
      append(args[3], "lock failed " + attempt.error().text + "\n");
      return 1;
    }
    if (attempt->held_elsewhere()) Sleep(20);
    file = std::move(attempt->held);
  }
  tessarin::win32::UniqueHandle unshared;
  while (!unshared_file.empty() && !unshared) {
    const std::u16string path = tessarin::utf8_to_utf16(unshared_file);
    unshared = tessarin::win32::UniqueHandle(CreateFileW(tessarin::win32::wide(path), GENERIC_READ,
                                                         0, nullptr, OPEN_ALWAYS,
                                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!unshared && GetLastError() != ERROR_SHARING_VIOLATION) {
      append(args[3], "open failed\n");
      return 1;
    }
    if (!unshared) Sleep(20);
  }
  append(args[3], "take " + pid + " " + std::to_string(woken) + "\n");
  Sleep(static_cast<DWORD>(std::stoul(args[2])));
  if (keep) ExitProcess(0);
  append(args[3], "drop " + pid + "\n");
  file.reset();
  unshared.reset();
  if (waited) waited->owned.reset();
  return 0;
}
