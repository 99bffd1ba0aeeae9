#pragma once
// Named mutexes in the per-logon namespace, which serialise the runs of one
// sandbox identity across helper processes.

#include <cstdint>
#include <memory>
#include <string>

#include "base/result.h"

namespace tessarin {

// An open mutex handle; destroying it closes the handle.
class NamedMutex {
 public:
  virtual ~NamedMutex() = default;
  // WaitForSingleObject with an infinite time-out; the raw wait result.
  virtual std::uint32_t wait() = 0;
  // ReleaseMutex; only called after a wait that took ownership.
  virtual void release() = 0;
};

class LockApi {
 public:
  virtual ~LockApi() = default;
  // CreateMutexW, not initially owned, handle not inheritable. On failure the
  // error is GetLastError.
  virtual Result<std::unique_ptr<NamedMutex>, std::uint32_t> create_mutex(
      const std::string& name) = 0;
};

}  // namespace tessarin
