#pragma once
// A launcher and a process interface that start nothing: they record every
// call in the shared event log ("launch <step>", "process <step>"), can fail
// any step with a chosen error code, and play the child and the caller
// through a few settings.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/console_events.h"
#include "platform/launcher.h"
#include "platform/process.h"

namespace tessarin::fakes {

using EventLog = std::vector<std::string>;

// Anything a fake hands out: counted in `live` while it lives, logged as
// `closing` when it goes.
template <class Base>
class FakeOwned final : public Base {
 public:
  FakeOwned(EventLog& log, int& live, std::string closing, std::string name = {})
      : log_(log), live_(live), closing_(std::move(closing)), name_(std::move(name)) {
    ++live_;
  }
  ~FakeOwned() override {
    --live_;
    log_.push_back(closing_);
  }
  const std::string& name() const { return name_; }

 private:
  EventLog& log_;
  int& live_;
  std::string closing_;
  std::string name_;
};

// The name a handle was logged under ("job", "process", "thread", "parent").
const std::string& name_of(Handle& handle);

// Logs the step and fails it when `failures` maps its name to a code.
class Steps {
 public:
  Steps(EventLog& log, std::string prefix) : log_(log), prefix_(std::move(prefix)) {}
  // Step names map to the last-error code their call fails with.
  std::map<std::string, std::uint32_t> failures;
  int live_objects = 0;  // handles, lists and guards not yet released

 protected:
  std::optional<Err<SystemError>> step(const std::string& name, const std::string& event);
  void log(const std::string& event) { log_.push_back(prefix_ + event); }
  // An object that logs "<prefix>close <name>" (or `closing`) when it goes.
  template <class Base>
  std::unique_ptr<Base> owned(std::string name, std::string closing = {});

 private:
  EventLog& log_;
  std::string prefix_;
};

class FakeProcessApi final : public ProcessApi, public Steps {
 public:
  // Step names: "open", "creation_time", "wait", "wait_either", "exit_code".
  explicit FakeProcessApi(EventLog& log) : Steps(log, "process ") {}

  // Process identifiers that name no process.
  std::set<std::uint32_t> gone_pids;
  Woke either_result = Woke::First;  // the child ends first
  // The results of the next timed waits on the caller, in order; once they
  // are used up, each times out.
  std::vector<Woke> timed_wait_results;
  std::uint32_t child_exit_code = 0;
  std::uint64_t own_creation_time = 200;
  std::uint64_t parent_creation_time = 100;

  SysResult<std::unique_ptr<Handle>> open(std::uint32_t pid) override;
  SysResult<std::uint64_t> creation_time(Handle* process) override;
  SysResult<Woke> wait(Handle& process, std::uint32_t milliseconds) override;
  SysResult<Woke> wait_either(Handle& first, Handle& second) override;
  SysResult<std::uint32_t> exit_code(Handle& process) override;
  void sleep(std::uint32_t milliseconds) override;
};

class FakeLaunchApi final : public LaunchApi, public Steps {
 public:
  // `describe_sid` turns a SID pointer into its text. Step names: "resume".
  FakeLaunchApi(EventLog& log, std::function<std::string(const void*)> describe_sid)
      : Steps(log, "launch "), describe_sid_(std::move(describe_sid)) {}

  // The step at which the next start fails, with code 5.
  std::optional<LaunchStep> failing_step;
  bool console_shared = false;  // a standard handle is a console
  // What each start was asked for; the security capabilities as texts: the
  // AppContainer SID's, then each capability's.
  struct Created {
    std::string command_line;
    std::string current_directory;
    std::vector<std::string> capabilities;  // empty: unconfined
    bool own_console = false;
  };
  std::vector<Created> created;
  bool child_resumed = false;

  Result<SuspendedChild, LaunchFailure> start_suspended(const ChildSpec& description) override;
  SysStatus resume(Handle& thread) override;
  void end_job(Handle& job) override;
  bool standard_handles_reach_a_console() override { return console_shared; }

 private:
  std::function<std::string(const void*)> describe_sid_;
};

class FakeConsoleEvents final : public ConsoleEvents, public Steps {
 public:
  explicit FakeConsoleEvents(EventLog& log) : Steps(log, "console ") {}
  // The answers of the next looks, in order; once they are used up, the
  // console asked nothing.
  std::vector<Event> looks;

  std::unique_ptr<Guard> guard() override;
  void end_job_on_event(Handle* job, bool interrupts) override;
  Event last_event() override;
};

}  // namespace tessarin::fakes
