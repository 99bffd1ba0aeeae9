#pragma once
// The helper's console as a run sees it: what a person at it asks while the
// run's grants are in place, and which job that ends.

#include <memory>

#include "platform/process.h"

namespace tessarin {

class ConsoleEvents {
 public:
  virtual ~ConsoleEvents() = default;

  // A run's hold on console events, while it exists.
  class Guard {
   public:
    virtual ~Guard() = default;
  };

  enum class Event {
    None,
    // Ctrl+C or Ctrl+Break before a job was named, when no child was there to
    // take it, or while a child with a console of its own ran: the job ends.
    Interrupted,
    Closed,
  };

  // Holds console events for the run. A child that shares the helper's
  // console takes Ctrl+C and Ctrl+Break itself; they are only noted while
  // there is none. A close ends the job and lets the helper's clean-up run,
  // and its last line go out, within the few seconds the system gives.
  // Logoff and shutdown take their default course.
  virtual std::unique_ptr<Guard> guard() = 0;
  // The job a console event ends, or none; with `interrupts`, Ctrl+C and
  // Ctrl+Break end it too: its child has a console of its own and hears
  // nothing of the helper's. A close, or an interrupt, that came before is
  // acted on at once.
  virtual void end_job_on_event(Handle* job, bool interrupts) = 0;
  // What the console asked while the guard was up; a close outranks an
  // interrupt.
  virtual Event last_event() = 0;
};

}  // namespace tessarin
