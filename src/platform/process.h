#pragma once
// Processes the helper watches: its caller, its child and the runs a lease
// names (kernel32 process and wait calls). Every failure carries the
// thread's last error at that call.

#include <cstdint>
#include <memory>

#include "base/result.h"

namespace tessarin {

// A kernel handle (process, thread or job); destroying it closes it.
class Handle {
 public:
  virtual ~Handle() = default;
};

// Which of the waited-for processes ended, or that none did in time.
enum class Woke { First, Second, TimedOut };

class ProcessApi {
 public:
  virtual ~ProcessApi() = default;

  // OpenProcess for waiting and for its times, not inheritable. An
  // identifier that names no process fails with names_no_process(error).
  virtual SysResult<std::unique_ptr<Handle>> open(std::uint32_t pid) = 0;
  // The creation time of `process`, or of the helper itself with null, in
  // 100-nanosecond units.
  virtual SysResult<std::uint64_t> creation_time(Handle* process) = 0;
  // Waits at most `milliseconds` for `process` to end: First when it has,
  // TimedOut when it is still running.
  virtual SysResult<Woke> wait(Handle& process, std::uint32_t milliseconds) = 0;
  // Waits without a time-out for whichever ends first: First or Second.
  virtual SysResult<Woke> wait_either(Handle& first, Handle& second) = 0;
  virtual SysResult<std::uint32_t> exit_code(Handle& process) = 0;
  virtual void sleep(std::uint32_t milliseconds) = 0;
};

// False only when `pid` provably names no running process: nothing has that
// identifier, or the process that has it has ended. Whatever cannot be told
// counts as alive, so that nothing of a live process is ever taken for a
// dead one's.
bool is_alive(ProcessApi& processes, std::uint32_t pid);

}  // namespace tessarin
