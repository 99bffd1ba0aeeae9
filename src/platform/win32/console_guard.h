#pragma once
// The console control handler of a run. Ctrl+C and Ctrl+Break are left to
// a child that shares the console and gets them itself, and end the job of
// one that has a console of its own; one that comes while no job is named,
// during the grants, is kept, and ends the job as soon as it is named, so
// that the child the user meant to stop never runs. A console close ends the
// job last named by end_job_on_console_event and gives the main thread the
// few seconds the system allows to revoke and write its last line. Logoff
// and shutdown, and every event outside a run, take their default course.

#include <windows.h>

#include "platform/launcher.h"

namespace tessarin::win32 {

// A run's hold on console events, while it exists. The handler routine
// itself is installed with the first guard and stays for the process's life:
// removing it would wait for a handler that is itself waiting for the main
// thread. Without a console there are no events to handle, so a failure to
// install changes nothing.
class ConsoleGuard {
 public:
  ConsoleGuard();
  ConsoleGuard(const ConsoleGuard&) = delete;
  ConsoleGuard& operator=(const ConsoleGuard&) = delete;
  ~ConsoleGuard();
};

// Whether one of the helper's standard handles is a console: a person may be
// typing, and the child shares the console. Otherwise it gets one of its own,
// without a window, so that it can neither type into the caller's console
// nor signal the processes attached to it.
bool standard_handles_reach_a_console();

// The job a console event ends, or none (null). Borrowed: it is named none
// again before it is closed. A close, or an interrupt, that came before is
// acted on at once.
void end_job_on_console_event(HANDLE job);

// What the console asked while the current guard was up: a close, or else a
// Ctrl+C or Ctrl+Break that came while no job was named.
LaunchApi::ConsoleEvent console_event();

}  // namespace tessarin::win32
