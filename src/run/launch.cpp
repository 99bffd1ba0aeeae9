#include "run/launch.h"

#include <memory>
#include <string_view>

#include "platform/text.h"
#include "provision/identities.h"

namespace tessarin {
namespace {

Err<std::string> failed(std::string_view what, std::uint32_t error) {
  std::string message(what);
  message += decimal(error);
  return fail(std::move(message));
}

}  // namespace

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
  if (size.bytes == 0) return failed("size process attribute list failed: ", size.error);
  auto list = api.initialize_attribute_list(size.bytes);
  if (!list) return failed("initialize process attribute list failed: ", list.error());
  if (auto set = api.set_security_capabilities(**list, identity_sid.get(), capability_pointers);
      !set) {
    return failed("set AppContainer process attribute failed: ", set.error());
  }
  return run_in_kill_on_close_job(api, request.command, request.cwd, request.parent_pid.value_or(0),
                                  list->get());
}

}  // namespace tessarin
