#pragma once
// Starting the sandboxed child and watching it against the calling process.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/result.h"
#include "platform/app_container.h"
#include "platform/platform.h"
#include "run/run_request.h"

namespace tessarin {

// The AppContainer a child is started in: its SID and capability SIDs,
// borrowed.
struct Confinement {
  const void* app_container_sid = nullptr;
  std::vector<const void*> capabilities;
};

// Opens the calling process `pid` for waiting. A process younger than the
// helper is refused as "parent process exited; ...": the caller, which
// started the helper, is gone and its identifier has been reused.
Result<std::unique_ptr<LaunchApi::Handle>> open_caller(LaunchApi& api, std::uint32_t pid);

// Starts `command` in `cwd` suspended, inheriting only its standard handles,
// puts it into a kill-on-close job, resumes it and waits for it or for
// `caller`, whichever ends first. With `confinement` null the child starts
// unconfined, which is how a host without AppContainer support exercises
// this half. When this returns, every process of the job has been ended and
// (within a bound) has died.
Result<std::uint32_t> run_in_kill_on_close_job(LaunchApi& api,
                                               const std::vector<std::string>& command,
                                               const std::string& cwd, LaunchApi::Handle& caller,
                                               const Confinement* confinement);

// The whole launch: the identity's AppContainer with, for a networked run,
// the internet-client and private-network capabilities, then the job. Yields
// the child's exit code unchanged, or one message.
Result<std::uint32_t> launch_in_app_container(Platform& platform, const RunRequest& request,
                                              const OwnedSid& identity_sid,
                                              LaunchApi::Handle& caller);

}  // namespace tessarin
