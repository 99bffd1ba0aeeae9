#include "provision/readiness.h"

#include <set>
#include <string>

#include "provision/firewall.h"
#include "provision/identities.h"
#include "provision/powershell.h"
#include "provision/setup_marker.h"

namespace tessarin {
namespace {

// Whether the profile is registered; the SID and its text live only for the
// test.
Status check_profile(AppContainerApi& api, const std::string& profile) {
  auto sid = derive_identity_sid(api, profile);
  if (!sid) return sid.propagate();
  auto sid_text = sid_to_string(api, *sid);
  if (!sid_text) return sid_text.propagate();
  if (!api.folder_path(*sid_text)) {
    return fail("AppContainer profile " + profile + " is not registered");
  }
  return success();
}

}  // namespace

Status verify_readiness(Platform& platform, const StateLayout& layout) {
  MarkerReading reading = read_setup_marker(platform.files, layout);
  if (std::holds_alternative<MarkerUnreadable>(reading)) {
    return fail("administrator initialization is required");
  }
  if (std::holds_alternative<MarkerUnparsable>(reading)) return fail("setup marker is corrupt");
  const SetupMarker& marker = std::get<SetupMarker>(reading);
  if (marker.version != 1) return fail("Windows sandbox setup version does not match the helper");

  std::set<std::string> offline_identities;
  for (const std::string& profile : identity_profile_names()) {
    // Online profiles are required too, although they have no rules.
    if (auto registered = check_profile(platform.app_containers, profile); !registered) {
      return registered;
    }
    if (is_offline_profile_name(profile)) offline_identities.insert(profile);
  }

  const std::set<std::string> listed(marker.offline_profiles.begin(),
                                     marker.offline_profiles.end());
  if (listed != offline_identities) {
    return fail("setup marker does not contain every offline identity");
  }

  // Last, because it is the one check that costs a process. The rules are
  // named from the list as stored; the comparison above makes both name the
  // same identities.
  if (!run_powershell(platform.tools, platform.env,
                      firewall_check_script(marker.offline_profiles))) {
    return fail("required WFP/firewall rules are missing or disabled");
  }
  return success();
}

}  // namespace tessarin
