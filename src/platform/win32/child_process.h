#pragma once
// Starting a child: suspended, inside a kill-on-close job, inheriting exactly
// the handles its attribute list names. The sandboxed command and the system
// tools are both started this way, so that neither can escape its job or
// receive a handle the helper holds for itself.

#include <windows.h>

#include <array>
#include <cstddef>
#include <memory>
#include <vector>

#include "base/result.h"
#include "platform/win32/owners.h"

namespace tessarin::win32 {

// What every process of a job the helper ends exits with.
constexpr UINT kEndedExitCode = 1;

// CreateJobObjectW, unnamed.
SysResult<UniqueHandle> create_job();
// Kill-on-close and no other limit: whatever of the job is still alive ends
// when its last handle is closed, also when the helper itself is killed.
SysStatus set_kill_on_close(HANDLE job);
// Both, for a caller that reports them as one step.
SysResult<UniqueHandle> make_kill_on_close_job();

// A process-thread attribute list with its buffer and the records its
// attributes point to, all of which must stay valid until the process has
// been created. Destroying it deletes the list, then frees the buffer, and
// keeps the last error.
class ProcThreadAttributes {
 public:
  // The size InitializeProcThreadAttributeList asks for `count` attributes.
  // The sizing call fails by design; only a size of zero is a failure.
  static SysResult<std::size_t> size_for(std::size_t count);
  // A list in a buffer of `bytes`, initialised for `count` attributes. On
  // failure nothing is left allocated.
  static SysResult<std::unique_ptr<ProcThreadAttributes>> initialize(std::size_t bytes,
                                                                     std::size_t count);
  // Sized, then initialised.
  static SysResult<std::unique_ptr<ProcThreadAttributes>> make(std::size_t count);

  ProcThreadAttributes(const ProcThreadAttributes&) = delete;
  ProcThreadAttributes& operator=(const ProcThreadAttributes&) = delete;
  ~ProcThreadAttributes();

  // The handle list: what the child inherits, and nothing else. Without it,
  // every inheritable handle of the helper would reach the child. Each
  // distinct handle of `handles` is listed once, as the list requires (output
  // and error are often one handle).
  SysStatus set_handle_list(const std::vector<HANDLE>& handles);
  // The security capabilities: the AppContainer SID and the capability SIDs,
  // each enabled, in order. The SIDs are borrowed.
  SysStatus set_security_capabilities(PSID app_container, const std::vector<PSID>& capabilities);

  LPPROC_THREAD_ATTRIBUTE_LIST get() const {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.get());
  }

 private:
  explicit ProcThreadAttributes(std::size_t bytes) : buffer_(new unsigned char[bytes]) {}

  std::unique_ptr<unsigned char[]> buffer_;
  bool initialized_ = false;
  std::vector<HANDLE> handles_;
  SECURITY_CAPABILITIES capabilities_{};
  std::vector<SID_AND_ATTRIBUTES> entries_;
};

// A child as CreateProcessW made it. The thread is closed before the process.
struct SuspendedChild {
  UniqueHandle process;
  UniqueHandle thread;
};

// Standard input, output and error, in that order.
using StandardStreams = std::array<HANDLE, 3>;

// CreateProcessW with CREATE_SUSPENDED, CREATE_UNICODE_ENVIRONMENT, `flags`
// and the extended startup information carrying `attributes`; the streams
// are the standard handles, which must be inheritable and named by the
// attribute list. A null `application` lets the command line's first element
// name the program, a null `directory` starts the child in the helper's, a
// null `environment` gives it the helper's environment.
SysResult<SuspendedChild> create_suspended(const wchar_t* application, wchar_t* command_line,
                                           const wchar_t* directory, const wchar_t* environment,
                                           ProcThreadAttributes& attributes,
                                           const StandardStreams& streams, DWORD flags);

}  // namespace tessarin::win32
