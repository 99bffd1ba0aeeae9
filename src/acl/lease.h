#pragma once
// The per-identity journal of granted paths, written before any grant and
// deleted after every grant is revoked, so that the next run of the identity
// can repair what a killed run left.

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/result.h"

namespace tessarin {

// <state directory>\acl-leases\<profile name>.json
std::string acl_lease_path(Environment& env, const std::string& profile_name);
Status write_acl_lease(Platform& platform, const std::string& profile_name,
                       const std::vector<std::string>& paths);
// Revokes whatever the identity's lease lists, then deletes it.
Status recover_stale_lease(Platform& platform, const std::string& profile_name,
                           const std::string& sid_text);

}  // namespace tessarin
