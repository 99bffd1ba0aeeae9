#include "provision/identities.h"

#include <string_view>

#include "base/text.h"
#include "platform/errors.h"

namespace tessarin {
namespace {

constexpr std::string_view kBaseName = "Tessarin.Sandbox.v1";
constexpr const char* kDisplayName = "Tessarin command sandbox";
constexpr const char* kDescription = "Restricted identity used for Tessarin tool execution";

constexpr const char* kInternetClient = "S-1-15-3-1";
constexpr const char* kPrivateNetworkClientServer = "S-1-15-3-3";

}  // namespace

std::string identity_profile_name(Preset preset, NetworkMode network) {
  std::string name(kBaseName);
  name += preset == Preset::ReadOnly ? ".ReadOnly" : ".WorkspaceWrite";
  name += network == NetworkMode::Offline ? ".Offline" : ".Online";
  return name;
}

std::vector<std::string> identity_profile_names() {
  return {identity_profile_name(Preset::ReadOnly, NetworkMode::Offline),
          identity_profile_name(Preset::ReadOnly, NetworkMode::Online),
          identity_profile_name(Preset::WorkspaceWrite, NetworkMode::Offline),
          identity_profile_name(Preset::WorkspaceWrite, NetworkMode::Online)};
}

bool is_offline_profile_name(const std::string& name) {
  constexpr std::string_view kOffline = "Offline";
  return name.size() >= kOffline.size() &&
         std::string_view(name).substr(name.size() - kOffline.size()) == kOffline;
}

Result<OwnedSid> ensure_identity_profile(AppContainerApi& api, const std::string& name) {
  auto sid = api.create_profile(name, kDisplayName, kDescription);
  if (sid) return std::move(*sid);
  // The registered profile keeps its first display data; its SID is the one
  // derived from the name.
  if (already_exists(sid.error())) return derive_identity_sid(api, name);
  return fail("CreateAppContainerProfile(" + name + ") failed: 0x" + hex8(sid.error().code));
}

Result<OwnedSid> derive_identity_sid(AppContainerApi& api, const std::string& name) {
  auto sid = api.derive_sid(name);
  if (sid) return std::move(*sid);
  return fail("DeriveAppContainerSidFromAppContainerName(" + name + ") failed: 0x" +
              hex8(sid.error().code));
}

Result<std::string> sid_to_string(AppContainerApi& api, const OwnedSid& sid) {
  auto text = api.sid_to_string(sid.get());
  if (!text) return fail("ConvertSidToStringSidW failed: " + decimal(text.error().code));
  return std::move(*text);
}

Result<OwnedSid> create_network_capability_sid(AppContainerApi& api, const std::string& text) {
  auto sid = api.string_to_sid(text);
  if (!sid) return fail("failed to create network capability SID: " + decimal(sid.error().code));
  return std::move(*sid);
}

Result<std::vector<OwnedSid>> network_capability_sids(AppContainerApi& api, NetworkMode network) {
  std::vector<OwnedSid> sids;
  if (network == NetworkMode::Offline) return sids;
  // A failure of the second releases the first with the vector.
  for (const char* text : {kInternetClient, kPrivateNetworkClientServer}) {
    auto sid = create_network_capability_sid(api, text);
    if (!sid) return sid.propagate();
    sids.push_back(std::move(*sid));
  }
  return sids;
}

}  // namespace tessarin
