#include "platform/win32/console_guard.h"

#include <memory>

#include "platform/win32/child_process.h"
#include "platform/win32/handle.h"
#include "platform/win32/owners.h"
#include "platform/win32/win32_platform.h"

namespace tessarin::win32 {
namespace {

// What the handler routine acts on; it runs on a thread the system starts
// for each event.
SRWLOCK console_lock = SRWLOCK_INIT;
bool run_guarded = false;
HANDLE console_job = nullptr;
// Whether a Ctrl+C or Ctrl+Break ends the named job: only when the child
// has a console of its own, which never hears the helper's.
bool interrupts_end_job = false;
bool closed_during_run = false;
bool interrupted = false;
// Signalled once the process's last line is out and its exit code is
// published, so that a handler waiting on a close ends the process with that
// code rather than the system's. Made once and kept for the process's life,
// like the routine: no handler may wait on a closed handle.
HANDLE exit_published = nullptr;
DWORD published_code = 0;

// The system ends a process about 5 s after its console was closed. The
// handler gives up a second earlier, so that it returns by itself rather than
// being cut off inside the system's dispatch; the second covers the start of
// the handler's thread on a loaded machine.
constexpr DWORD kCloseWaitMs = 4000;

// The console lock, held until the holder goes: the acquisition returns its
// release.
class SrwExclusive {
 public:
  explicit SrwExclusive(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  SrwExclusive(const SrwExclusive&) = delete;
  SrwExclusive& operator=(const SrwExclusive&) = delete;
  ~SrwExclusive() { ReleaseSRWLockExclusive(&lock_); }

 private:
  SRWLOCK& lock_;
};

// Notes the event for the run and ends the job it calls for; yields whether
// a run is guarded.
bool note(DWORD event) {
  const SrwExclusive held(console_lock);
  if (run_guarded && event == CTRL_CLOSE_EVENT) {
    closed_during_run = true;
    if (console_job != nullptr) TerminateJobObject(console_job, kEndedExitCode);
  } else if (run_guarded && (console_job == nullptr || interrupts_end_job)) {
    // The grants run without the console, and a child with a console of its
    // own does not share this one, so nothing else hears it.
    interrupted = true;
    if (console_job != nullptr) TerminateJobObject(console_job, kEndedExitCode);
  }
  return run_guarded;
}

BOOL WINAPI on_console_event(DWORD event) {
  // Logoff and shutdown take their default course: an interactive helper
  // never sees them, and one started by a service must not end its command
  // because some user logged off.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  const bool guarded = note(event);
  if (event == CTRL_CLOSE_EVENT) {
    // The main thread sees the child end, revokes, writes its line and
    // publishes its exit code. Returning would let the system end the process
    // with a code of its own, perhaps before that line is out; ending it here
    // keeps both, for a close just after the run too. Whatever is still
    // granted after the wait runs out, the lease hands to the identity's next
    // run.
    if (exit_published != nullptr &&
        WaitForSingleObject(exit_published, kCloseWaitMs) == WAIT_OBJECT_0) {
      ExitProcess(published_code);
    }
    if (!guarded) return FALSE;
    if (exit_published == nullptr) Sleep(kCloseWaitMs);
    return TRUE;
  }
  // Outside a run nothing is granted: the helper ends as it would without a
  // handler. Within one, Ctrl+C and Ctrl+Break reach a child that shares the
  // console, or have ended its job, or, before there is one, are kept for
  // it; the helper cleans up when it ends.
  return guarded ? TRUE : FALSE;
}

void install_once() {
  static const bool installed = [] {
    exit_published = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return SetConsoleCtrlHandler(on_console_event, TRUE) != FALSE;
  }();
  static_cast<void>(installed);
}

}  // namespace

ConsoleGuard::ConsoleGuard() {
  install_once();
  const SrwExclusive held(console_lock);
  run_guarded = true;
  closed_during_run = false;
  interrupted = false;
  console_job = nullptr;
}

ConsoleGuard::~ConsoleGuard() {
  const SrwExclusive held(console_lock);
  run_guarded = false;
  console_job = nullptr;
}

bool standard_handles_reach_a_console() {
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    DWORD mode = 0;
    const HANDLE own = GetStdHandle(which);
    if (own != nullptr && own != INVALID_HANDLE_VALUE && GetConsoleMode(own, &mode)) return true;
  }
  return false;
}

void end_job_on_console_event(HANDLE job, bool interrupts) {
  const SrwExclusive held(console_lock);
  console_job = job;
  interrupts_end_job = job != nullptr && interrupts;
  // A close or an interrupt that came before the job existed ends it at once.
  if (console_job != nullptr && (closed_during_run || interrupted)) {
    TerminateJobObject(console_job, kEndedExitCode);
  }
}

ConsoleEvents::Event console_event() {
  using Event = ConsoleEvents::Event;
  const SrwExclusive held(console_lock);
  return closed_during_run ? Event::Closed : interrupted ? Event::Interrupted : Event::None;
}

namespace {

class Win32Guard final : public ConsoleEvents::Guard {
  ConsoleGuard guard_;
};

}  // namespace

std::unique_ptr<ConsoleEvents::Guard> Win32ConsoleEvents::guard() {
  return std::make_unique<Win32Guard>();
}

void Win32ConsoleEvents::end_job_on_event(Handle* job, bool interrupts) {
  end_job_on_console_event(job != nullptr ? native(*job) : nullptr, interrupts);
}

void publish_exit_code(std::uint32_t code) {
  if (exit_published == nullptr) return;
  published_code = code;
  // The event orders the write above before the handler's read.
  SetEvent(exit_published);
}

}  // namespace tessarin::win32
