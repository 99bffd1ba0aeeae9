#pragma once
// Starting and supervising the sandboxed child (kernel32 process, job and
// attribute-list calls). One method per system call, so that the portable
// launch decides the order of the steps, the message of every failure and the
// order in which everything is released; the platform only makes the calls.
// Every failure carries the thread's GetLastError value at that call.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/result.h"
#include "base/text.h"

namespace tessarin {

class LaunchApi {
 public:
  virtual ~LaunchApi() = default;

  template <class T>
  using Outcome = Result<T, std::uint32_t>;

  // A kernel handle (job, process, thread); destroying it closes it.
  class Handle {
   public:
    virtual ~Handle() = default;
  };

  // A process-thread attribute list together with its buffer and the records
  // its attribute points to, which must stay valid until the process has been
  // created. Destroying it deletes the list, then frees the buffer.
  class AttributeList {
   public:
    virtual ~AttributeList() = default;
  };

  // What process creation yields. Members are destroyed in reverse order, so
  // the thread handle is closed before the process handle.
  struct Child {
    std::unique_ptr<Handle> process;
    std::unique_ptr<Handle> thread;
  };

  // InitializeProcThreadAttributeList without a buffer, for one attribute:
  // the size it asks for (0 when it names none) and the last error then.
  struct ListSize {
    std::size_t bytes = 0;
    std::uint32_t error = 0;
  };
  virtual ListSize attribute_list_size() = 0;
  // A buffer of `bytes`, initialised for one attribute. On failure nothing is
  // left allocated.
  virtual Outcome<std::unique_ptr<AttributeList>> initialize_attribute_list(std::size_t bytes) = 0;
  // UpdateProcThreadAttribute with the security-capabilities attribute: the
  // AppContainer SID and the capability SIDs, each enabled, in order. The
  // SIDs are borrowed and must outlive the list's use.
  virtual Outcome<void> set_security_capabilities(AttributeList& list,
                                                  const void* app_container_sid,
                                                  const std::vector<const void*>& capabilities) = 0;

  // CreateJobObjectW, unnamed.
  virtual Outcome<std::unique_ptr<Handle>> create_job() = 0;
  // SetInformationJobObject: kill-on-close and no other limit.
  virtual Outcome<void> set_kill_on_close(Handle& job) = 0;

  // CreateProcessW, suspended, handles inherited, the helper's own standard
  // handles (taken now) as the child's, no environment block and no
  // application name. With an attribute list the extended startup
  // information carries it; without one the process starts unconfined.
  virtual Outcome<Child> create_suspended_process(WideBuffer& command_line,
                                                  const WideBuffer& current_directory,
                                                  AttributeList* attributes) = 0;
  virtual Outcome<void> assign_to_job(Handle& job, Handle& process) = 0;
  // TerminateProcess; only for a child that never ran.
  virtual void terminate(Handle& process) = 0;
  // ResumeThread; a result of (DWORD)-1 is the failure.
  virtual Outcome<void> resume(Handle& thread) = 0;
  // OpenProcess with SYNCHRONIZE access only, not inheritable.
  virtual Outcome<std::unique_ptr<Handle>> open_for_synchronize(std::uint32_t pid) = 0;
  // WaitForMultipleObjects on (first, second), for either, without a
  // time-out: the raw wait result.
  virtual std::uint32_t wait_for_either(Handle& first, Handle& second) = 0;
  virtual Outcome<std::uint32_t> exit_code(Handle& process) = 0;
};

}  // namespace tessarin
