#pragma once
// The four sandbox identities: one AppContainer profile per (preset, network
// mode) pair. The profile name is an identity's only persistent key.

#include <string>
#include <vector>

#include "base/result.h"
#include "platform/app_container.h"

namespace tessarin {

enum class Preset { ReadOnly, WorkspaceWrite };
enum class NetworkMode { Offline, Online };

// "Tessarin.Sandbox.v1.<ReadOnly|WorkspaceWrite>.<Offline|Online>".
std::string identity_profile_name(Preset preset, NetworkMode network);
// The four names in their fixed order: ReadOnly.Offline, ReadOnly.Online,
// WorkspaceWrite.Offline, WorkspaceWrite.Online.
std::vector<std::string> identity_profile_names();
// True when the name is at least seven bytes long and ends in "Offline".
bool is_offline_profile_name(const std::string& name);

// Registers the profile if it does not exist yet; yields its SID.
Result<OwnedSid> ensure_identity_profile(AppContainerApi& api, const std::string& name);
// The SID of a profile name, whether registered or not.
Result<OwnedSid> derive_identity_sid(AppContainerApi& api, const std::string& name);
// The SID's text form (S-1-...).
Result<std::string> sid_to_string(AppContainerApi& api, const OwnedSid& sid);
Result<OwnedSid> create_network_capability_sid(AppContainerApi& api, const std::string& text);
// For Online: the internet-client then the private-network capability SIDs;
// for Offline: none.
Result<std::vector<OwnedSid>> network_capability_sids(AppContainerApi& api, NetworkMode network);

}  // namespace tessarin
