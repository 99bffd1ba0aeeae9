#pragma once
// The two locks that serialise the runs of one sandbox identity across helper
// processes: a named mutex in the per-logon namespace, and a lock on a file in
// the state directory, which also holds across the logon sessions of one user.

#include <cstdint>
#include <memory>
#include <string>

#include "base/result.h"
#include "platform/launcher.h"

namespace tessarin {

// An open mutex handle; destroying it closes the handle.
class NamedMutex {
 public:
  virtual ~NamedMutex() = default;
  // WaitForMultipleObjects on (mutex, process), for either, with an infinite
  // time-out; the raw wait result.
  virtual std::uint32_t wait_or_exit(LaunchApi::Handle& process) = 0;
  // ReleaseMutex; only called after a wait that took ownership.
  virtual void release() = 0;
};

// A held file lock; destroying it unlocks the file and closes it.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

class LockApi {
 public:
  virtual ~LockApi() = default;
  // CreateMutexW, not initially owned, handle not inheritable. On failure the
  // error is GetLastError.
  virtual Result<std::unique_ptr<NamedMutex>, std::uint32_t> create_mutex(
      const std::string& name) = 0;
  // Opens `path`, creating it if need be and sharing it with other openers,
  // and locks it exclusively without waiting (LockFileEx). While another
  // process holds the lock this fails with code 33 (ERROR_LOCK_VIOLATION).
  virtual SysResult<std::unique_ptr<FileLock>> try_lock_file(const std::string& path) = 0;
};

}  // namespace tessarin
