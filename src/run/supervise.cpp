#include "run/launch.h"

#include <memory>
#include <string_view>

#include "base/command_line.h"
#include "base/text.h"
#include "run/launch_failure.h"

namespace tessarin {
namespace {

constexpr std::string_view kParentExited =
    "parent process exited; terminated the sandbox process tree";

}  // namespace

Result<std::uint32_t> run_in_kill_on_close_job(LaunchApi& api,
                                               const std::vector<std::string>& command,
                                               const std::string& cwd, std::uint32_t parent_pid,
                                               LaunchApi::AttributeList* attributes) {
  // Locals are declared in the order they are obtained, so that every path
  // out releases them in reverse: thread, process, the two texts, then the
  // job, whose closing ends whatever of the run is still alive.
  auto job = api.create_job();
  if (!job) return launch_failed("CreateJobObjectW failed: ", job.error());
  if (auto limited = api.set_kill_on_close(**job); !limited) {
    return launch_failed("enable Job Object kill-on-close failed: ", limited.error());
  }

  WideBuffer command_line = build_command_line(command);
  const WideBuffer current_directory = to_wide_nul(cwd);

  auto child = api.create_suspended_process(command_line, current_directory, attributes);
  if (!child) return launch_failed("CreateProcessW in AppContainer failed: ", child.error());
  if (auto assigned = api.assign_to_job(**job, *child->process); !assigned) {
    // Outside the job nothing would ever end it; it has not run a single
    // instruction, so ending it here is safe.
    api.terminate(*child->process);
    return launch_failed("AssignProcessToJobObject failed: ", assigned.error());
  }
  if (auto resumed = api.resume(*child->thread); !resumed) {
    return launch_failed("ResumeThread failed: ", resumed.error());
  }

  // The caller is opened only now, so that a caller already gone is noticed
  // with the child inside the job, where closing the job ends it.
  auto parent = api.open_for_synchronize(parent_pid);
  if (!parent) return launch_failed("open parent process failed: ", parent.error());
  const std::uint32_t woken = api.wait_for_either(*child->process, **parent);
  parent->reset();
  if (woken != 0) return fail(std::string(kParentExited));
  auto code = api.exit_code(*child->process);
  if (!code) return launch_failed("GetExitCodeProcess failed: ", code.error());
  return *code;
}

}  // namespace tessarin
