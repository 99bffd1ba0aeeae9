#include "run/supervise.h"

#include <memory>
#include <string_view>

#include "base/command_line.h"
#include "base/text.h"

namespace tessarin {
namespace {

constexpr std::string_view kConsoleClosed = "console closed; terminated the sandbox process tree";
constexpr std::string_view kInterrupted = "interrupted before the sandbox process started";
constexpr std::string_view kInterruptedRun = "interrupted; terminated the sandbox process tree";

// A failed system call as every step of the launch reports it: `what` names
// the call and ends in ": ", the last error follows in decimal.
Err<std::string> launch_failed(std::string_view what, const SystemError& error) {
  std::string message(what);
  message += decimal(error.code);
  return fail(std::move(message));
}

// Ends whatever of the job is still alive and waits, with a bound, until it
// is gone, so that the revocation and the removal of the temporary directory
// that follow do not race files the tree still holds open. Closing the job
// would end the tree as well, but returns before it has died.
class TreeEnder {
 public:
  TreeEnder(LaunchApi& api, Handle& job) : api_(api), job_(job) {}
  TreeEnder(const TreeEnder&) = delete;
  TreeEnder& operator=(const TreeEnder&) = delete;
  ~TreeEnder() {
    api_.end_on_console_event(nullptr);
    api_.end_job(job_);
  }

 private:
  LaunchApi& api_;
  Handle& job_;
};

}  // namespace

Result<std::unique_ptr<Handle>> open_caller(ProcessApi& processes, std::uint32_t pid) {
  auto caller = processes.open(pid);
  if (!caller) return launch_failed("open parent process failed: ", caller.error());
  auto own = processes.creation_time(nullptr);
  if (!own) return launch_failed("open parent process failed: ", own.error());
  auto theirs = processes.creation_time(caller->get());
  if (!theirs) return launch_failed("open parent process failed: ", theirs.error());
  // The caller started the helper, so it is older. A younger process has
  // been given the identifier of a caller that is gone.
  if (*theirs > *own) return fail(std::string(kParentExited));
  return std::move(*caller);
}

Status still_wanted(LaunchApi& launcher, ProcessApi& processes, Handle& caller) {
  if (const auto woke = processes.wait(caller, 0); woke && *woke == Woke::First) {
    return fail(std::string(kParentExited));
  }
  switch (launcher.console_event()) {
    case LaunchApi::ConsoleEvent::Closed:
      return fail(std::string(kConsoleClosed));
    case LaunchApi::ConsoleEvent::Interrupted:
      return fail(std::string(kInterrupted));
    case LaunchApi::ConsoleEvent::None:
      break;
  }
  return success();
}

Result<std::uint32_t> run_in_kill_on_close_job(LaunchApi& api, ProcessApi& processes,
                                               const std::vector<std::string>& command,
                                               const std::string& cwd, Handle& caller,
                                               const Confinement* confinement) {
  // Locals are declared in the order they are obtained, so that every path
  // out releases them in reverse: thread, process, the two texts, the tree,
  // the job, the standard handles (unless released early, below) and then
  // the attribute list.
  const std::size_t attributes = confinement != nullptr ? 2 : 1;
  const auto size = api.attribute_list_size(attributes);
  if (!size) return launch_failed("size process attribute list failed: ", size.error());
  auto list = api.initialize_attribute_list(*size, attributes);
  if (!list) return launch_failed("initialize process attribute list failed: ", list.error());
  if (confinement != nullptr) {
    if (auto set = api.set_security_capabilities(**list, confinement->app_container_sid,
                                                 confinement->capabilities);
        !set) {
      return launch_failed("set AppContainer process attribute failed: ", set.error());
    }
  }
  // The child inherits its three standard handles and nothing else: the
  // helper may itself have inherited handles its caller never meant to pass
  // on, and a confined child would keep whatever access they carry.
  auto handles = api.standard_handles();
  if (!handles) return launch_failed("inherit standard handles failed: ", handles.error());
  if (auto set = api.set_handle_list(**list, **handles); !set) {
    return launch_failed("set inherited handle list failed: ", set.error());
  }

  auto job = api.create_job();
  if (!job) return launch_failed("CreateJobObjectW failed: ", job.error());
  if (auto limited = api.set_kill_on_close(**job); !limited) {
    return launch_failed("enable Job Object kill-on-close failed: ", limited.error());
  }
  const TreeEnder tree(api, **job);

  WideBuffer command_line = build_command_line(command);
  const WideBuffer current_directory = to_wide_nul(cwd);

  auto child = api.create_suspended_process(command_line, current_directory, **list, **handles);
  if (!child) return launch_failed("CreateProcessW in AppContainer failed: ", child.error());
  // The child has its own copies now. The inheritable ones made for it go at
  // once rather than stay open in the helper while the child runs.
  handles->reset();
  if (auto assigned = api.assign_to_job(**job, *child->process); !assigned) {
    // Outside the job nothing would ever end it; it has not run a single
    // instruction, so ending it here is safe.
    api.terminate(*child->process);
    return launch_failed("AssignProcessToJobObject failed: ", assigned.error());
  }
  api.end_on_console_event(job->get());
  // A close or a Ctrl+C during the grants has just ended the job: the child
  // never runs.
  switch (api.console_event()) {
    case LaunchApi::ConsoleEvent::Closed:
      return fail(std::string(kConsoleClosed));
    case LaunchApi::ConsoleEvent::Interrupted:
      return fail(std::string(kInterrupted));
    case LaunchApi::ConsoleEvent::None:
      break;
  }
  if (auto resumed = api.resume(*child->thread); !resumed) {
    return launch_failed("ResumeThread failed: ", resumed.error());
  }

  const auto woken = processes.wait_either(*child->process, caller);
  if (!woken) return launch_failed("wait for the sandbox process failed: ", woken.error());
  // Only the child's own end yields its exit code; anything else ends the
  // tree. A console event ends the child with the job's code, which must not
  // pass for the command's own; an interrupt comes through only for a child
  // with a console of its own.
  switch (api.console_event()) {
    case LaunchApi::ConsoleEvent::Closed:
      return fail(std::string(kConsoleClosed));
    case LaunchApi::ConsoleEvent::Interrupted:
      return fail(std::string(kInterruptedRun));
    case LaunchApi::ConsoleEvent::None:
      break;
  }
  if (*woken != Woke::First) return fail(std::string(kParentExited));
  auto code = processes.exit_code(*child->process);
  if (!code) return launch_failed("GetExitCodeProcess failed: ", code.error());
  return *code;
}

}  // namespace tessarin
