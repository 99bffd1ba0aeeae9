#include "run/launch.h"

#include <memory>

#include "provision/identities.h"
#include "run/supervise.h"

namespace tessarin {

Result<std::uint32_t> launch_in_app_container(Platform& platform, const RunRequest& request,
                                              const OwnedSid& identity_sid, Handle& caller) {
  // The capability SIDs are released last of all, after the child's start,
  // which points to them.
  auto capabilities = network_capability_sids(
      platform.app_containers, request.network ? NetworkMode::Online : NetworkMode::Offline);
  if (!capabilities) return capabilities.propagate();
  Confinement confinement{identity_sid.get(), {}};
  for (const OwnedSid& sid : *capabilities) confinement.capabilities.push_back(sid.get());
  return run_in_kill_on_close_job(platform.launcher, platform.console_events, platform.processes,
                                  request.command, request.cwd, caller, &confinement);
}

}  // namespace tessarin
