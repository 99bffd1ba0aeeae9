#include "run/supervise.h"

#include <memory>
#include <string_view>

#include "base/text.h"

namespace tessarin {
namespace {

constexpr std::string_view kConsoleClosed = "console closed; terminated the sandbox process tree";
constexpr std::string_view kInterrupted = "interrupted before the sandbox process started";
constexpr std::string_view kInterruptedRun = "interrupted; terminated the sandbox process tree";

// A failed system call as every step of the launch, and the opening of the
// caller, report it: `what` names the call and ends in ": ", the last error
// follows in decimal.
Err<std::string> call_failed(std::string_view what, const SystemError& error) {
  std::string message(what);
  message += decimal(error.code);
  return fail(std::move(message));
}

// How each step of a start reads when it fails.
std::string_view step_message(LaunchStep step) {
  switch (step) {
    case LaunchStep::kSizeList:
      return "size process attribute list failed: ";
    case LaunchStep::kInitializeList:
      return "initialize process attribute list failed: ";
    case LaunchStep::kCapabilities:
      return "set AppContainer process attribute failed: ";
    case LaunchStep::kStandardHandles:
      return "inherit standard handles failed: ";
    case LaunchStep::kHandleList:
      return "set inherited handle list failed: ";
    case LaunchStep::kCreateJob:
      return "CreateJobObjectW failed: ";
    case LaunchStep::kKillOnClose:
      return "enable Job Object kill-on-close failed: ";
    case LaunchStep::kCreateProcess:
      return "CreateProcessW in AppContainer failed: ";
    case LaunchStep::kAssign:
      return "AssignProcessToJobObject failed: ";
  }
  return "start the sandbox process failed: ";
}

// What a console event means at this point of a run: before the child runs,
// `interrupt` is "before the sandbox process started"; once it has, its tree
// was ended.
Status quiet_console(ConsoleEvents& console, std::string_view interrupt) {
  switch (console.last_event()) {
    case ConsoleEvents::Event::Closed:
      return fail(std::string(kConsoleClosed));
    case ConsoleEvents::Event::Interrupted:
      return fail(std::string(interrupt));
    case ConsoleEvents::Event::None:
      break;
  }
  return success();
}

// Ends whatever of the job is still alive and waits, with a bound, until it
// is gone, so that the revocation and the removal of the temporary directory
// that follow do not race files the tree still holds open. Closing the job
// would end the tree as well, but returns before it has died.
class TreeEnder {
 public:
  TreeEnder(LaunchApi& api, ConsoleEvents& console, Handle& job)
      : api_(api), console_(console), job_(job) {}
  TreeEnder(const TreeEnder&) = delete;
  TreeEnder& operator=(const TreeEnder&) = delete;
  ~TreeEnder() {
    console_.end_job_on_event(nullptr, false);
    api_.end_job(job_);
  }

 private:
  LaunchApi& api_;
  ConsoleEvents& console_;
  Handle& job_;
};

}  // namespace

Result<std::unique_ptr<Handle>> open_caller(ProcessApi& processes, std::uint32_t pid) {
  auto caller = processes.open(pid);
  if (!caller) return call_failed("open parent process failed: ", caller.error());
  auto own = processes.creation_time(nullptr);
  if (!own) return call_failed("open parent process failed: ", own.error());
  auto theirs = processes.creation_time(caller->get());
  if (!theirs) return call_failed("open parent process failed: ", theirs.error());
  // The caller started the helper, so it is older. A younger process has
  // been given the identifier of a caller that is gone.
  if (*theirs > *own) return fail(std::string(kParentExited));
  return std::move(*caller);
}

Status still_wanted(ConsoleEvents& console, ProcessApi& processes, Handle& caller) {
  if (const auto woke = processes.wait(caller, 0); woke && *woke == Woke::First) {
    return fail(std::string(kParentExited));
  }
  return quiet_console(console, kInterrupted);
}

Result<std::uint32_t> run_in_kill_on_close_job(LaunchApi& api, ConsoleEvents& console,
                                               ProcessApi& processes,
                                               const std::vector<std::string>& command,
                                               const std::string& cwd, Handle& caller,
                                               const Confinement* confinement) {
  // A child that shares no console with a person gets one of its own, so
  // that it can neither type into the caller's console, whose shell reads
  // what is queued there once the helper returns, nor signal its processes.
  const ChildSpec description{command, cwd, confinement, !api.standard_handles_reach_a_console()};
  auto child = api.start_suspended(description);
  if (!child) return call_failed(step_message(child.error().step), child.error().error);
  const TreeEnder tree(api, console, *child->job);
  console.end_job_on_event(child->job.get(), description.own_console);
  // A close or a Ctrl+C during the grants has just ended the job: the child
  // never runs.
  if (auto quiet = quiet_console(console, kInterrupted); !quiet) return quiet.propagate();
  if (auto resumed = api.resume(*child->thread); !resumed) {
    return call_failed("ResumeThread failed: ", resumed.error());
  }

  const auto woken = processes.wait_either(*child->process, caller);
  if (!woken) return call_failed("wait for the sandbox process failed: ", woken.error());
  // Only the child's own end yields its exit code; anything else ends the
  // tree. A console event ends the child with the job's code, which must not
  // pass for the command's own.
  if (auto quiet = quiet_console(console, kInterruptedRun); !quiet) return quiet.propagate();
  const bool caller_ended = *woken != Woke::First;
  if (caller_ended) return fail(std::string(kParentExited));
  auto code = processes.exit_code(*child->process);
  if (!code) return call_failed("GetExitCodeProcess failed: ", code.error());
  return *code;
}

}  // namespace tessarin
