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
  // `describe_sid` turns a SID pointer into its text for the log. Step names:
  // "size", "initialize", "set_capabilities", "standard_handles",
  // "handle_list", "create_job", "kill_on_close", "create_process", "assign",
  // "resume".
  FakeLaunchApi(EventLog& log, std::function<std::string(const void*)> describe_sid)
      : Steps(log, "launch "), describe_sid_(std::move(describe_sid)) {}

  std::size_t list_size = 48;
  // What each process creation received.
  struct Created {
    std::string command_line;
    std::string current_directory;
    bool confined = false;
  };
  std::vector<Created> created;
  // The security capabilities of the last list: the AppContainer SID's text,
  // then each capability's text.
  std::vector<std::string> capabilities;
  bool child_terminated = false;
  bool child_resumed = false;
  // The answers of the next looks at the console, in order; once they are
  // used up, it asked nothing.
  std::vector<ConsoleEvent> console_looks;

  SysResult<std::size_t> attribute_list_size(std::size_t count) override;
  SysResult<std::unique_ptr<AttributeList>> initialize_attribute_list(std::size_t bytes,
                                                                      std::size_t count) override;
  SysStatus set_security_capabilities(AttributeList& list, const void* app_container_sid,
                                      const std::vector<const void*>& capabilities) override;
  SysResult<std::unique_ptr<StandardHandles>> standard_handles() override;
  SysStatus set_handle_list(AttributeList& list, StandardHandles& handles) override;
  SysResult<std::unique_ptr<Handle>> create_job() override;
  SysStatus set_kill_on_close(Handle& job) override;
  void end_job(Handle& job) override;
  SysResult<Child> create_suspended_process(WideBuffer& command_line,
                                            const WideBuffer& current_directory,
                                            AttributeList& attributes,
                                            StandardHandles& handles) override;
  SysStatus assign_to_job(Handle& job, Handle& process) override;
  void terminate(Handle& process) override;
  SysStatus resume(Handle& thread) override;
  std::unique_ptr<ConsoleGuard> guard_console() override;
  void end_on_console_event(Handle* job) override;
  ConsoleEvent console_event() override;

 private:
  std::function<std::string(const void*)> describe_sid_;
  std::set<const AttributeList*> confined_lists_;
};

}  // namespace tessarin::fakes
