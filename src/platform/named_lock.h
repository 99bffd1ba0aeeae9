#pragma once
// The two locks that serialise the runs of one sandbox identity across helper
// processes: a named mutex in the per-logon namespace, and a lock on a file in
// the state directory, which also holds across the logon sessions of one user.

#include <memory>
#include <string>

#include "base/result.h"
#include "platform/process.h"

namespace tessarin {

// A lock this process holds; destroying it lets the lock go.
class LockGuard {
 public:
  virtual ~LockGuard() = default;
};

// What waiting for a mutex came to.
struct MutexWait {
  // Held until destroyed; null when the watched process ended first.
  std::unique_ptr<LockGuard> owned;
  // Its last owner ended without releasing it. It is owned all the same: a
  // lock whose holder died is taken over.
  bool abandoned = false;

  bool caller_gone() const { return owned == nullptr; }
};

// What one attempt at the lock file came to.
struct FileLockAttempt {
  // Held until destroyed; null while another process holds the lock, or
  // has the file open without sharing it.
  std::unique_ptr<LockGuard> held;

  bool held_elsewhere() const { return held == nullptr; }
};

// An open mutex handle; destroying it closes the handle, which must outlive
// the guard of the mutex.
class NamedMutex {
 public:
  virtual ~NamedMutex() = default;
  // Waits without a time-out for the mutex or for `caller` to end, whichever
  // comes first; a caller that has already ended wins over a free mutex.
  virtual SysResult<MutexWait> acquire(Handle& caller) = 0;
};

class LockApi {
 public:
  virtual ~LockApi() = default;
  // CreateMutexW, not initially owned, handle not inheritable.
  virtual SysResult<std::unique_ptr<NamedMutex>> create_mutex(const std::string& name) = 0;
  // Opens `path`, creating it if need be and sharing it with other openers,
  // and locks it exclusively without waiting. A file another process has
  // open without sharing counts as held elsewhere.
  virtual SysResult<FileLockAttempt> try_lock_file(const std::string& path) = 0;
};

}  // namespace tessarin
