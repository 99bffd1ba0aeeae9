#include "provision/identities.h"

#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "fakes/names.h"

namespace tessarin {
namespace {

using fakes::FakeAppContainerApi;
using fakes::FakePlatform;

const std::string& kReadOnlyOffline = fakes::kRoOff;

TEST(IdentityNames, FourNamesInTheFixedOrder) {
  EXPECT_EQ(identity_profile_name(Preset::WorkspaceWrite, NetworkMode::Online),
            "Tessarin.Sandbox.v1.WorkspaceWrite.Online");
  EXPECT_EQ(identity_profile_names(),
            (std::vector<std::string>{"Tessarin.Sandbox.v1.ReadOnly.Offline",
                                      "Tessarin.Sandbox.v1.ReadOnly.Online",
                                      "Tessarin.Sandbox.v1.WorkspaceWrite.Offline",
                                      "Tessarin.Sandbox.v1.WorkspaceWrite.Online"}));
}

TEST(IdentityNames, OfflineIsANameSuffixTest) {
  const auto names = identity_profile_names();
  EXPECT_TRUE(is_offline_profile_name(names[0]));
  EXPECT_FALSE(is_offline_profile_name(names[1]));
  EXPECT_TRUE(is_offline_profile_name(names[2]));
  EXPECT_FALSE(is_offline_profile_name(names[3]));
  EXPECT_TRUE(is_offline_profile_name("Offline"));
  EXPECT_FALSE(is_offline_profile_name("ffline"));
  EXPECT_FALSE(is_offline_profile_name(""));
  EXPECT_FALSE(is_offline_profile_name("x.offline"));
}

TEST(EnsureProfile, RegistersWithTheFixedDisplayData) {
  FakePlatform p;
  {
    auto sid = ensure_identity_profile(p.app_containers, kReadOnlyOffline);
    ASSERT_TRUE(sid) << sid.error();
    EXPECT_EQ(sid->origin(), SidOrigin::kFreeSid);
    EXPECT_EQ(*sid_to_string(p.app_containers, *sid),
              FakeAppContainerApi::sid_text_for(kReadOnlyOffline));
  }
  EXPECT_EQ(p.log,
            (fakes::EventLog{"profile create " + kReadOnlyOffline +
                                 " [Tessarin command sandbox] "
                                 "[Restricted identity used for Tessarin tool execution]",
                             "FreeSid " + FakeAppContainerApi::sid_text_for(kReadOnlyOffline)}));
  EXPECT_EQ(p.app_containers.wrong_release_calls, 0);
}

TEST(EnsureProfile, AnExistingProfileYieldsTheDerivedSid) {
  FakePlatform p;
  p.app_containers.registered.insert(kReadOnlyOffline);
  {
    auto sid = ensure_identity_profile(p.app_containers, kReadOnlyOffline);
    ASSERT_TRUE(sid) << sid.error();
    EXPECT_EQ(*sid_to_string(p.app_containers, *sid),
              FakeAppContainerApi::sid_text_for(kReadOnlyOffline));
  }
  EXPECT_EQ(p.events("profile derive"), (fakes::EventLog{"profile derive " + kReadOnlyOffline}));
  EXPECT_EQ(p.app_containers.live_sids(), 0u);
}

TEST(EnsureProfile, FailureMessagesCarryTheResultCodeInEightLowerCaseDigits) {
  FakePlatform p;
  p.app_containers.create_results[kReadOnlyOffline] = 0x80070005u;
  auto denied = ensure_identity_profile(p.app_containers, kReadOnlyOffline);
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error(),
            "CreateAppContainerProfile(Tessarin.Sandbox.v1.ReadOnly.Offline) failed: 0x80070005");

  p.app_containers.create_results[kReadOnlyOffline] = 0x800700ABu;
  EXPECT_EQ(ensure_identity_profile(p.app_containers, kReadOnlyOffline).error(),
            "CreateAppContainerProfile(Tessarin.Sandbox.v1.ReadOnly.Offline) failed: 0x800700ab");
}

TEST(EnsureProfile, AnExistingProfileWhoseSidCannotBeDerivedGivesTheDerivationMessage) {
  FakePlatform p;
  p.app_containers.registered.insert(kReadOnlyOffline);
  p.app_containers.derive_results[kReadOnlyOffline] = 0x80070057u;
  EXPECT_EQ(ensure_identity_profile(p.app_containers, kReadOnlyOffline).error(),
            "DeriveAppContainerSidFromAppContainerName(Tessarin.Sandbox.v1.ReadOnly.Offline) "
            "failed: 0x80070057");
}

TEST(SidText, ConversionFailureGivesTheLastErrorInDecimal) {
  FakePlatform p;
  auto sid = derive_identity_sid(p.app_containers, kReadOnlyOffline);
  ASSERT_TRUE(sid);
  p.app_containers.sid_to_string_error = 1337;
  EXPECT_EQ(sid_to_string(p.app_containers, *sid).error(), "ConvertSidToStringSidW failed: 1337");
}

TEST(CapabilitySids, OfflineAsksForNone) {
  FakePlatform p;
  auto sids = network_capability_sids(p.app_containers, NetworkMode::Offline);
  ASSERT_TRUE(sids);
  EXPECT_TRUE(sids->empty());
  EXPECT_TRUE(p.log.empty());
}

TEST(CapabilitySids, OnlineGetsInternetClientThenPrivateNetwork) {
  FakePlatform p;
  {
    auto sids = network_capability_sids(p.app_containers, NetworkMode::Online);
    ASSERT_TRUE(sids) << sids.error();
    ASSERT_EQ(sids->size(), 2u);
    EXPECT_EQ(*sid_to_string(p.app_containers, (*sids)[0]), "S-1-15-3-1");
    EXPECT_EQ(*sid_to_string(p.app_containers, (*sids)[1]), "S-1-15-3-3");
    EXPECT_EQ((*sids)[0].origin(), SidOrigin::kLocalFree);
  }
  EXPECT_EQ(p.app_containers.local_free_calls, 2);
  EXPECT_EQ(p.app_containers.wrong_release_calls, 0);
}

TEST(CapabilitySids, AFailureReleasesWhatWasMade) {
  FakePlatform p;
  p.app_containers.string_to_sid_errors["S-1-15-3-3"] = 1337;
  auto second = network_capability_sids(p.app_containers, NetworkMode::Online);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), "failed to create network capability SID: 1337");
  EXPECT_EQ(p.app_containers.live_sids(), 0u);
  EXPECT_EQ(p.app_containers.local_free_calls, 1);

  p.log.clear();
  p.app_containers.string_to_sid_errors = {{"S-1-15-3-1", 87}};
  EXPECT_EQ(network_capability_sids(p.app_containers, NetworkMode::Online).error(),
            "failed to create network capability SID: 87");
  EXPECT_EQ(p.log, (fakes::EventLog{"sid parse S-1-15-3-1"}));
}

}  // namespace
}  // namespace tessarin
