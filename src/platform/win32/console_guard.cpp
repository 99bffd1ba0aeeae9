#include "platform/win32/console_guard.h"

#include "platform/win32/owners.h"

namespace tessarin::win32 {
namespace {

// What the handler routine acts on; it runs on a thread of its own.
SRWLOCK console_lock = SRWLOCK_INIT;
HANDLE console_job = nullptr;
bool console_closing = false;

constexpr UINT kEndedExitCode = 1;

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      // The child shares the console and gets the event itself; the helper
      // cleans up when it ends.
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      AcquireSRWLockExclusive(&console_lock);
      console_closing = true;
      if (console_job != nullptr) TerminateJobObject(console_job, kEndedExitCode);
      ReleaseSRWLockExclusive(&console_lock);
      // The main thread now sees the child end, revokes and exits the
      // process, which ends this thread. Returning would end the helper at
      // once; if the clean-up outlasts the time the system gives, the system
      // ends it, and the lease lets the identity's next run finish the job.
      Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

ConsoleGuard::ConsoleGuard() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

ConsoleGuard::~ConsoleGuard() {
  const LastErrorKept kept;
  SetConsoleCtrlHandler(on_console_event, FALSE);
}

void end_job_on_console_close(HANDLE job) {
  AcquireSRWLockExclusive(&console_lock);
  console_job = job;
  // A close that came before the job existed ends it at once.
  if (console_job != nullptr && console_closing) TerminateJobObject(console_job, kEndedExitCode);
  ReleaseSRWLockExclusive(&console_lock);
}

}  // namespace tessarin::win32
