#include "platform/win32/launcher.h"

#include <windows.h>

#include <array>
#include <vector>

#include "base/command_line.h"
#include "base/text.h"
#include "platform/win32/child_process.h"
#include "platform/win32/console_guard.h"
#include "platform/win32/handle.h"
#include "platform/win32/inheritable.h"
#include "platform/win32/owners.h"
#include "platform/win32/system_error.h"

namespace tessarin::win32 {
namespace {

// How long clean-up waits for an ended job's processes to die, and how often
// it looks.
constexpr int kJobEndPolls = 500;
constexpr DWORD kJobEndPollMs = 10;

// The helper's three standard handles as the child inherits them (see
// inheritable_standard_handle); what had to be made is kept in `made`.
SysResult<StandardStreams> inheritable_streams(std::vector<UniqueHandle>& made) {
  StandardStreams streams{};
  const std::array<DWORD, 3> which = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (std::size_t i = 0; i < which.size(); ++i) {
    // Output and error are often one handle: it is made inheritable once.
    const HANDLE own = GetStdHandle(which[i]);
    if (i > 0 && own != nullptr && own != INVALID_HANDLE_VALUE &&
        own == GetStdHandle(which[i - 1])) {
      streams[i] = streams[i - 1];
      continue;
    }
    auto stream = inheritable_standard_handle(which[i], made);
    if (!stream) return stream.propagate();
    streams[i] = *stream;
  }
  return streams;
}

}  // namespace

Result<SuspendedChild, LaunchFailure> Win32LaunchApi::start_suspended(
    const ChildSpec& description) {
  // What is made for the child to inherit goes as soon as the child has its
  // own copies, rather than stay open in the helper while it runs.
  std::vector<UniqueHandle> made;
  auto streams = inheritable_streams(made);
  if (!streams) return Err<LaunchFailure>{{LaunchStep::kStandardHandles, streams.error()}};
  WideBuffer command_line = build_command_line(description.command);
  const WideBuffer directory = to_wide_nul(description.cwd);
  ChildStart start;
  start.command_line = wide(command_line);
  start.directory = reinterpret_cast<const wchar_t*>(directory.data());
  start.streams = *streams;
  start.confinement = description.confinement;
  // Without a window: the console exists for the child alone.
  start.flags = description.own_console ? CREATE_NO_WINDOW : 0;
  auto started = start_suspended_in_job(start);
  if (!started) return started.propagate();
  return SuspendedChild{portable(std::move(started->job)), portable(std::move(started->process)),
                        portable(std::move(started->thread))};
}

SysStatus Win32LaunchApi::resume(Handle& thread) {
  if (ResumeThread(native(thread)) == static_cast<DWORD>(-1)) return sys_fail(last_system_error());
  return {};
}

void Win32LaunchApi::end_job(Handle& job) {
  const LastErrorKept kept;
  if (TerminateJobObject(native(job), kEndedExitCode)) {
    for (int poll = 0; poll < kJobEndPolls; ++poll) {
      JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
      if (!QueryInformationJobObject(native(job), JobObjectBasicAccountingInformation, &accounting,
                                     sizeof accounting, nullptr) ||
          accounting.ActiveProcesses == 0) {
        break;
      }
      Sleep(kJobEndPollMs);
    }
  }
}

bool Win32LaunchApi::standard_handles_reach_a_console() {
  return win32::standard_handles_reach_a_console();
}

}  // namespace tessarin::win32
