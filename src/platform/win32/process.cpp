#include "platform/win32/process.h"

#include <windows.h>

#include "platform/win32/handle.h"
#include "platform/win32/system_error.h"

namespace tessarin::win32 {

SysResult<std::unique_ptr<Handle>> Win32ProcessApi::open(std::uint32_t pid) {
  UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) {
    SystemError error = last_system_error();
    // OpenProcess answers an identifier that names no process this way.
    if (error.code == ERROR_INVALID_PARAMETER) error.kind = ErrorKind::kNoSuchProcess;
    return sys_fail(std::move(error));
  }
  return portable(std::move(process));
}

SysResult<std::uint64_t> Win32ProcessApi::creation_time(Handle* process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process != nullptr ? native(*process) : GetCurrentProcess(), &created,
                       &exited, &kernel, &user)) {
    return sys_fail(last_system_error());
  }
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

SysResult<Woke> Win32ProcessApi::wait(Handle& process, std::uint32_t milliseconds) {
  const DWORD woken = WaitForSingleObject(native(process), milliseconds);
  if (woken == WAIT_FAILED) return sys_fail(last_system_error());
  return woken == WAIT_OBJECT_0 ? Woke::First : Woke::TimedOut;
}

SysResult<Woke> Win32ProcessApi::wait_either(Handle& first, Handle& second) {
  const HANDLE handles[2] = {native(first), native(second)};
  const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (woken == WAIT_FAILED) return sys_fail(last_system_error());
  return woken == WAIT_OBJECT_0 ? Woke::First : Woke::Second;
}

SysResult<std::uint32_t> Win32ProcessApi::exit_code(Handle& process) {
  DWORD code = 0;
  if (!GetExitCodeProcess(native(process), &code)) return sys_fail(last_system_error());
  return std::uint32_t{code};
}

void Win32ProcessApi::sleep(std::uint32_t milliseconds) {
  Sleep(milliseconds);
}

}  // namespace tessarin::win32
