#include "platform/win32/named_lock.h"

#include <windows.h>

#include "base/command_line.h"
#include "platform/win32/launcher.h"
#include "platform/win32/owners.h"
#include "platform/win32/system_error.h"

namespace tessarin::win32 {
namespace {

class Win32Mutex final : public NamedMutex {
 public:
  explicit Win32Mutex(HANDLE handle) : handle_(handle) {}
  std::uint32_t wait_or_exit(LaunchApi::Handle& process) override {
    const HANDLE handles[2] = {handle_.get(), native_handle(process)};
    return WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  }
  void release() override { ReleaseMutex(handle_.get()); }

 private:
  UniqueHandle handle_;
};

class Win32FileLock final : public FileLock {
 public:
  explicit Win32FileLock(UniqueHandle file) : file_(std::move(file)) {}
  Win32FileLock(const Win32FileLock&) = delete;
  Win32FileLock& operator=(const Win32FileLock&) = delete;
  // Closing the file would drop the lock too, but only at some later moment.
  ~Win32FileLock() override {
    const LastErrorKept kept;
    OVERLAPPED range{};
    UnlockFileEx(file_.get(), 0, 1, 0, &range);
  }

 private:
  UniqueHandle file_;
};

}  // namespace

Result<std::unique_ptr<NamedMutex>, std::uint32_t> Win32LockApi::create_mutex(
    const std::string& name) {
  const WideBuffer wide_name = to_wide_nul(name);
  // No security attributes: the handle is not inheritable, so the sandboxed
  // child can never hold the lock of its identity.
  HANDLE handle = CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t*>(wide_name.data()));
  if (handle == nullptr) return Err<std::uint32_t>{GetLastError()};
  return std::unique_ptr<NamedMutex>(std::make_unique<Win32Mutex>(handle));
}

SysResult<std::unique_ptr<FileLock>> Win32LockApi::try_lock_file(const std::string& path) {
  const WideBuffer wide_path = to_wide_nul(path);
  // Shared, so that a helper queued behind this one can open the file and
  // find the lock held; not inheritable, so that the child never holds it.
  UniqueHandle file(CreateFileW(reinterpret_cast<const wchar_t*>(wide_path.data()),
                                GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return sys_fail(last_system_error());
  OVERLAPPED range{};
  if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                  &range)) {
    return sys_fail(last_system_error());
  }
  return std::unique_ptr<FileLock>(std::make_unique<Win32FileLock>(std::move(file)));
}

}  // namespace tessarin::win32
