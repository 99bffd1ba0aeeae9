#pragma once
// Starting a child from a description: suspended, inside a kill-on-close job
// of its own, inheriting its three standard handles and nothing else. The
// run decides what the child gets, how each failure reads and when the child
// runs; the platform makes the system calls in their order and releases
// what it made for the start. Watching the child is the process interface's
// part (process.h).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/result.h"
#include "platform/process.h"

namespace tessarin {

// The step of a start that failed; each is one system call.
enum class LaunchStep {
  kSizeList,
  kInitializeList,
  kCapabilities,
  kStandardHandles,
  kHandleList,
  kCreateJob,
  kKillOnClose,
  kCreateProcess,
  kAssign,
};

struct LaunchFailure {
  LaunchStep step = LaunchStep::kCreateProcess;
  SystemError error;  // the thread's last error at that call
};

// The AppContainer a child is started in: its SID and capability SIDs, each
// enabled, in order; borrowed.
struct Confinement {
  const void* app_container_sid = nullptr;
  std::vector<const void*> capabilities;
};

// What a child is started with, borrowed. No application name and no
// environment block: the system finds the program from the command line,
// and the child gets the helper's environment. Its standard handles are the
// helper's, made inheritable where they are not, the null device where they
// name nothing.
struct ChildSpec {
  const std::vector<std::string>& command;
  const std::string& cwd;
  const Confinement* confinement = nullptr;  // null: unconfined
  // A console of its own without a window, rather than the helper's.
  bool own_console = false;
};

// A started child that has not run an instruction yet, in its job. Members
// go in reverse order: thread, process, then the job, whose closing ends
// whatever of it is still alive.
struct SuspendedChild {
  std::unique_ptr<Handle> job;
  std::unique_ptr<Handle> process;
  std::unique_ptr<Handle> thread;
};

class LaunchApi {
 public:
  virtual ~LaunchApi() = default;

  // Made and assigned to a new kill-on-close job, not yet running. A child
  // that could not be put into its job is ended before this returns.
  virtual Result<SuspendedChild, LaunchFailure> start_suspended(const ChildSpec& description) = 0;
  virtual SysStatus resume(Handle& thread) = 0;
  // Ends every process of the job, then waits, with a bound, until none is
  // left, so that the files they held are closed. Failures are not reported:
  // closing the job still ends what is left.
  virtual void end_job(Handle& job) = 0;
  // Whether one of the helper's standard handles is a console: a person may
  // be typing there.
  virtual bool standard_handles_reach_a_console() = 0;
};

}  // namespace tessarin
