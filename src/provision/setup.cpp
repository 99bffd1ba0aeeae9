#include "provision/setup.h"

#include "provision/firewall.h"
#include "provision/identities.h"
#include "provision/setup_marker.h"
#include "provision/state_layout.h"

namespace tessarin {
namespace {

std::string firewall_failure(const std::string& profile, const std::string& message) {
  return "administrator WFP/firewall initialization failed for " + profile + ": " + message +
         ". Run this helper's `setup --json` command from an elevated terminal";
}

}  // namespace

Status run_setup(Platform& platform) {
  const StateLayout layout = state_layout(platform.env);
  if (auto made = create_state_directory(platform.files, layout); !made) return made;

  SetupMarker marker;
  for (const std::string& profile : identity_profile_names()) {
    // The SID is released when it goes out of scope, on every path.
    auto sid = ensure_identity_profile(platform.app_containers, profile);
    if (!sid) return sid.propagate();
    if (!is_offline_profile_name(profile)) continue;

    auto sid_text = sid_to_string(platform.app_containers, *sid);
    if (!sid_text) return sid_text.propagate();
    // Without administrator rights the first rule fails, and the message says
    // how to proceed; Inbound is not tried once Outbound failed.
    for (const std::string_view direction : {kOutbound, kInbound}) {
      if (auto installed =
              install_block_rule(platform.tools, platform.env, profile, *sid_text, direction);
          !installed) {
        return fail(firewall_failure(profile, installed.error()));
      }
    }
    // Listed only once its profile and both its rules are in place.
    marker.offline_profiles.push_back(profile);
  }

  // Last, so that a marker of version 1 means a setup that completed.
  return write_setup_marker(platform.files, layout, marker);
}

}  // namespace tessarin
