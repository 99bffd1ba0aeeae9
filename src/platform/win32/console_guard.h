#pragma once
// The console control handler of a run. Ctrl+C and Ctrl+Break are left to
// the child, which shares the console and gets them itself; on close, logoff
// and shutdown the job last named by end_job_on_console_close is ended, so
// that the helper's own clean-up runs within the time the system gives.

#include <windows.h>

namespace tessarin::win32 {

// Installs the handler routine while it exists. Without a console there are
// no events to handle, so a failure to install changes nothing.
class ConsoleGuard {
 public:
  ConsoleGuard();
  ConsoleGuard(const ConsoleGuard&) = delete;
  ConsoleGuard& operator=(const ConsoleGuard&) = delete;
  ~ConsoleGuard();
};

// The job a console close ends, or none (null). Borrowed: it is named none
// again before it is closed. A close that came before is acted on at once.
void end_job_on_console_close(HANDLE job);

}  // namespace tessarin::win32
