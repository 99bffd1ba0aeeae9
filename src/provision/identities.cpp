#include "provision/identities.h"

#include <string_view>

#include "base/text.h"

namespace tessarin {
namespace {

constexpr std::string_view kBaseName = "Tessarin.Sandbox.v1";
constexpr const char* kDisplayName = "Tessarin command sandbox";
constexpr const char* kDescription = "Restricted identity used for Tessarin tool execution";

// The HRESULT that carries ERROR_ALREADY_EXISTS: the profile is registered.
constexpr std::uint32_t kAlreadyExists = 0x800700B7u;

constexpr const char* kInternetClient = "S-1-15-3-1";
constexpr const char* kPrivateNetworkClientServer = "S-1-15-3-3";

// Takes ownership at once, so that a SID that came with a failure code is
// released too.
OwnedSid own(AppContainerApi& api, const SidCall& call) {
  if (call.sid == nullptr) return OwnedSid();
  return OwnedSid(api, call.sid, SidOrigin::kFreeSid);
}

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
  const SidCall call = api.create_profile(name, kDisplayName, kDescription);
  OwnedSid sid = own(api, call);
  if (call.result == kAlreadyExists) {
    // The registered profile keeps its first display data; its SID is the one
    // derived from the name.
    sid.reset();
    return derive_identity_sid(api, name);
  }
  if (hresult_succeeded(call.result) && sid) return sid;
  return fail("CreateAppContainerProfile(" + name + ") failed: 0x" + hex8(call.result));
}

Result<OwnedSid> derive_identity_sid(AppContainerApi& api, const std::string& name) {
  const SidCall call = api.derive_sid(name);
  OwnedSid sid = own(api, call);
  if (hresult_succeeded(call.result) && sid) return sid;
  return fail("DeriveAppContainerSidFromAppContainerName(" + name + ") failed: 0x" +
              hex8(call.result));
}

Result<std::string> sid_to_string(AppContainerApi& api, const OwnedSid& sid) {
  auto text = api.sid_to_string(sid.get());
  if (!text) return fail("ConvertSidToStringSidW failed: " + decimal(text.error()));
  return std::move(*text);
}

Result<OwnedSid> create_network_capability_sid(AppContainerApi& api, const std::string& text) {
  auto sid = api.string_to_sid(text);
  if (!sid || *sid == nullptr) {
    const std::uint32_t code = sid ? 0 : sid.error();
    return fail("failed to create network capability SID: " + decimal(code));
  }
  return OwnedSid(api, *sid, SidOrigin::kLocalFree);
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
