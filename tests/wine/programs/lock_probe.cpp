// Drives the Win32 named lock, for the Wine tests:
//   lock_probe.exe <name> <hold ms> <log file> [keep]
// Takes the lock, appends "take <pid> <wait result>" to the log, holds it for
// <hold ms>, appends "drop <pid>" and releases it. With "keep" it exits while
// holding the lock, which abandons it.

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win32/named_lock.h"
#include "platform/win32/owners.h"

namespace {

void append(const std::string& path, const std::string& line) {
  const tessarin::win32::UniqueFile out(
      CreateFileW(tessarin::win32::wide(tessarin::utf8_to_utf16(path)), FILE_APPEND_DATA,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (out) WriteFile(out.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
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
  if (args.size() < 4) return 120;
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
