#pragma once
// Starting the sandboxed child (kernel32 process, job and attribute-list
// calls). One method per system call, so that the portable launch decides the
// order of the steps, the message of every failure and the order in which
// everything is released; the platform only makes the calls. Every failure
// carries the thread's last error at that call. Watching the child is the
// process interface's part (process.h).

#include <cstddef>
#include <memory>
#include <vector>

#include "base/result.h"
#include "base/text.h"
#include "platform/process.h"

namespace tessarin {

class LaunchApi {
 public:
  virtual ~LaunchApi() = default;

  // A process-thread attribute list together with its buffer and the records
  // its attributes point to, which must stay valid until the process has been
  // created. Destroying it deletes the list, then frees the buffer.
  class AttributeList {
   public:
    virtual ~AttributeList() = default;
  };

  // The three standard handles a child is given, each inheritable: the
  // helper's own where it is inheritable, an inheritable duplicate where it is
  // not, the null device where it is missing or invalid. Destroying it closes
  // the duplicates and null devices it made.
  class StandardHandles {
   public:
    virtual ~StandardHandles() = default;
  };

  // A run's hold on console events, while it exists.
  class ConsoleGuard {
   public:
    virtual ~ConsoleGuard() = default;
  };

  // What process creation yields. Members are destroyed in reverse order, so
  // the thread handle is closed before the process handle.
  struct Child {
    std::unique_ptr<Handle> process;
    std::unique_ptr<Handle> thread;
  };

  // InitializeProcThreadAttributeList without a buffer: the size `count`
  // attributes need. The sizing call fails by design; a size of zero fails
  // with the last error then.
  virtual SysResult<std::size_t> attribute_list_size(std::size_t count) = 0;
  // A buffer of `bytes`, initialised for `count` attributes. On failure
  // nothing is left allocated.
  virtual SysResult<std::unique_ptr<AttributeList>> initialize_attribute_list(
      std::size_t bytes, std::size_t count) = 0;
  // UpdateProcThreadAttribute with the security-capabilities attribute: the
  // AppContainer SID and the capability SIDs, each enabled, in order. The
  // SIDs are borrowed and must outlive the list's use.
  virtual SysStatus set_security_capabilities(AttributeList& list, const void* app_container_sid,
                                              const std::vector<const void*>& capabilities) = 0;
  // GetStdHandle for the three streams, made inheritable (see
  // StandardHandles).
  virtual SysResult<std::unique_ptr<StandardHandles>> standard_handles() = 0;
  // UpdateProcThreadAttribute with the handle list: each distinct value of
  // `handles` once, and nothing else, is what the child inherits. `handles`
  // must outlive the list's use.
  virtual SysStatus set_handle_list(AttributeList& list, StandardHandles& handles) = 0;

  // CreateJobObjectW, unnamed.
  virtual SysResult<std::unique_ptr<Handle>> create_job() = 0;
  // SetInformationJobObject: kill-on-close and no other limit.
  virtual SysStatus set_kill_on_close(Handle& job) = 0;
  // TerminateJobObject, then a bounded wait until no process of the job is
  // left, so that the files its processes held are closed. Failures are not
  // reported: closing the job still ends what is left.
  virtual void end_job(Handle& job) = 0;

  // CreateProcessW, suspended, inheriting exactly `handles`, which are its
  // standard handles, no environment block and no application name, with the
  // extended startup information carrying `attributes`. Unless one of the
  // helper's standard handles is a console, the child gets a console of its
  // own without a window (guard_console).
  virtual SysResult<Child> create_suspended_process(WideBuffer& command_line,
                                                    const WideBuffer& current_directory,
                                                    AttributeList& attributes,
                                                    StandardHandles& handles) = 0;
  virtual SysStatus assign_to_job(Handle& job, Handle& process) = 0;
  // TerminateProcess; only for a child that never ran.
  virtual void terminate(Handle& process) = 0;
  // ResumeThread; a result of (DWORD)-1 is the failure.
  virtual SysStatus resume(Handle& thread) = 0;

  // What the console asked of a run while its guard was up.
  enum class ConsoleEvent {
    None,
    // Ctrl+C or Ctrl+Break before a job was named, when no child was there to
    // take it, or while a child with a console of its own ran: the job ends.
    Interrupted,
    Closed,
  };

  // Holds console events for the run. A child that shares the helper's
  // console (one of the helper's standard handles is a console) takes Ctrl+C
  // and Ctrl+Break itself; they are only noted while there is none. A child
  // with a console of its own, started without a window, hears nothing of
  // the helper's console, so they end its job. A close ends the job last
  // given to end_on_console_event and lets the helper's clean-up run, and
  // its last line go out, within the few seconds the system gives. Logoff
  // and shutdown take their default course.
  virtual std::unique_ptr<ConsoleGuard> guard_console() = 0;
  // The job a console close ends, or none; a close, or an interrupt, that
  // came before is acted on at once.
  virtual void end_on_console_event(Handle* job) = 0;
  // What the console asked while the guard was up; a close outranks an
  // interrupt.
  virtual ConsoleEvent console_event() = 0;
};

}  // namespace tessarin
