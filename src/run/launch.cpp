#include "run/launch.h"

#include <memory>

#include "provision/identities.h"
#include "run/launch_failure.h"

namespace tessarin {

Result<std::uint32_t> launch_in_app_container(Platform& platform, const RunRequest& request,
                                              const OwnedSid& identity_sid) {
  LaunchApi& api = platform.launcher;
  // The capability SIDs are released last of all, after the attribute list
  // that points to them.
  auto capabilities = network_capability_sids(
      platform.app_containers, request.network ? NetworkMode::Online : NetworkMode::Offline);
  if (!capabilities) return capabilities.propagate();
  std::vector<const void*> capability_pointers;
  for (const OwnedSid& sid : *capabilities) capability_pointers.push_back(sid.get());

  const LaunchApi::ListSize size = api.attribute_list_size();
  if (size.bytes == 0) return launch_failed("size process attribute list failed: ", size.error);
  auto list = api.initialize_attribute_list(size.bytes);
  if (!list) return launch_failed("initialize process attribute list failed: ", list.error());
  if (auto set = api.set_security_capabilities(**list, identity_sid.get(), capability_pointers);
      !set) {
    return launch_failed("set AppContainer process attribute failed: ", set.error());
  }
  return run_in_kill_on_close_job(api, request.command, request.cwd, request.parent_pid.value_or(0),
                                  list->get());
}

}  // namespace tessarin
