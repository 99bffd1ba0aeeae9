#include "platform/win32/named_lock.h"

#include <windows.h>

#include "base/command_line.h"
#include "platform/win32/handle.h"
#include "platform/win32/owners.h"
#include "platform/win32/system_error.h"

namespace tessarin::win32 {
namespace {

class MutexOwned final : public LockGuard {
 public:
  explicit MutexOwned(HANDLE mutex) : mutex_(mutex) {}
  ~MutexOwned() override {
    const LastErrorKept kept;
    ReleaseMutex(mutex_);
  }

 private:
  HANDLE mutex_;  // borrowed from the Win32Mutex, which outlives this
};

class Win32Mutex final : public NamedMutex {
 public:
  explicit Win32Mutex(UniqueHandle handle) : handle_(std::move(handle)) {}
  SysResult<MutexWait> acquire(Handle& caller) override {
    // The caller comes first: of two signalled objects the wait reports the
    // first, so a caller already gone wins the tie against a free mutex, and
    // the mutex is then not taken.
    const HANDLE handles[2] = {native(caller), handle_.get()};
    const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0) return MutexWait{};
    if (woken != WAIT_OBJECT_0 + 1 && woken != WAIT_ABANDONED_0 + 1) {
      return sys_fail(last_system_error());
    }
    return MutexWait{std::make_unique<MutexOwned>(handle_.get()), woken == WAIT_ABANDONED_0 + 1};
  }

 private:
  UniqueHandle handle_;
};

class Win32FileLock final : public LockGuard {
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

SysResult<std::unique_ptr<NamedMutex>> Win32LockApi::create_mutex(const std::string& name) {
  const WideBuffer wide_name = to_wide_nul(name);
  // No security attributes: the handle is not inheritable, so the sandboxed
  // child can never hold the lock of its identity.
  UniqueHandle handle(
      CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t*>(wide_name.data())));
  if (!handle) return sys_fail(last_system_error());
  return std::unique_ptr<NamedMutex>(std::make_unique<Win32Mutex>(std::move(handle)));
}

SysResult<FileLockAttempt> Win32LockApi::try_lock_file(const std::string& path) {
  const WideBuffer wide_path = to_wide_nul(path);
  // Shared, so that a helper queued behind this one can open the file and
  // find the lock held; not inheritable, so that the child never holds it.
  UniqueHandle file(CreateFileW(reinterpret_cast<const wchar_t*>(wide_path.data()),
                                GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    // A scanner or backup agent that has the file open without sharing keeps
    // it only for a moment: that is waited out like a lock held elsewhere.
    const SystemError error = last_system_error();
    if (error.code == ERROR_SHARING_VIOLATION) return FileLockAttempt{};
    return sys_fail(error);
  }
  OVERLAPPED range{};
  if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                  &range)) {
    if (GetLastError() == ERROR_LOCK_VIOLATION) return FileLockAttempt{};
    return sys_fail(last_system_error());
  }
  return FileLockAttempt{std::make_unique<Win32FileLock>(std::move(file))};
}

}  // namespace tessarin::win32
