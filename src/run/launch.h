#pragma once
// Starting the sandboxed child and watching it against the calling process.

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "platform/app_container.h"
#include "platform/platform.h"
#include "run/run_request.h"

namespace tessarin {

// Starts `command` in `cwd` suspended, puts it into a kill-on-close job,
// resumes it and waits for it or for the process `parent_pid`, whichever ends
// first. With `attributes` null the child starts unconfined, which is how a
// host without AppContainer support exercises this half. When this returns,
// the job is closed and so every process of it has been ended.
Result<std::uint32_t> run_in_kill_on_close_job(LaunchApi& api,
                                               const std::vector<std::string>& command,
                                               const std::string& cwd, std::uint32_t parent_pid,
                                               LaunchApi::AttributeList* attributes);

// The whole launch: the identity's AppContainer with, for a networked run,
// the internet-client and private-network capabilities, then the job. Yields
// the child's exit code unchanged, or one message.
Result<std::uint32_t> launch_in_app_container(Platform& platform, const RunRequest& request,
                                              const OwnedSid& identity_sid);

}  // namespace tessarin
