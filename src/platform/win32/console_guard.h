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

#include "platform/console_events.h"

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

// Whether one of the helper's standard handles is a console.
bool standard_handles_reach_a_console();

// The job a console event ends, or none (null); with `interrupts`, Ctrl+C and
// Ctrl+Break end it too. Borrowed: it is named none again before it is
// closed. A close, or an interrupt, that came before is acted on at once.
void end_job_on_console_event(HANDLE job, bool interrupts);

// What the console asked while the current guard was up: a close, or else a
// Ctrl+C or Ctrl+Break that no child heard.
ConsoleEvents::Event console_event();

class Win32ConsoleEvents final : public ConsoleEvents {
 public:
  std::unique_ptr<Guard> guard() override;
  void end_job_on_event(Handle* job, bool interrupts) override;
  Event last_event() override { return console_event(); }
};

}  // namespace tessarin::win32
