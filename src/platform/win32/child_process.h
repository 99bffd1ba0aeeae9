#pragma once
// Starting a child: suspended, inside a kill-on-close job, inheriting exactly
// its three standard handles. The sandboxed command and the system tools are
// both started by this one sequence, so that neither can escape its job or
// receive a handle the helper holds for itself.

#include <windows.h>

#include <array>

#include "base/result.h"
#include "platform/launcher.h"
#include "platform/win32/owners.h"

namespace tessarin::win32 {

// What every process of a job the helper ends exits with.
constexpr UINT kEndedExitCode = 1;

// Standard input, output and error, in that order.
using StandardStreams = std::array<HANDLE, 3>;

// What CreateProcessW is given, borrowed. The streams must be inheritable;
// they are the child's standard handles and all it inherits. A null
// `application` lets the command line's first element name the program, a
// null `directory` starts the child in the helper's, a null `environment`
// gives it the helper's environment, a null `confinement` no AppContainer.
// `flags` come on top of CREATE_SUSPENDED, CREATE_UNICODE_ENVIRONMENT and
// EXTENDED_STARTUPINFO_PRESENT.
struct ChildStart {
  const wchar_t* application = nullptr;
  wchar_t* command_line = nullptr;
  const wchar_t* directory = nullptr;
  const wchar_t* environment = nullptr;
  StandardStreams streams{};
  const Confinement* confinement = nullptr;
  DWORD flags = 0;
};

// A child in its job, suspended. The thread is closed first, the job last.
struct StartedChild {
  UniqueHandle job;
  UniqueHandle process;
  UniqueHandle thread;
};

// Makes the attribute list, the kill-on-close job (no other limit:
// whatever of the job is still alive ends when its last handle is closed,
// also when the helper itself is killed) and the process, and puts the
// process into the job before it has run an instruction. A process that
// cannot be put there is ended. The failure names the step.
Result<StartedChild, LaunchFailure> start_suspended_in_job(const ChildStart& start);

}  // namespace tessarin::win32
