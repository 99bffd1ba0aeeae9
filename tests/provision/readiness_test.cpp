#include "provision/readiness.h"

#include <gtest/gtest.h>

#include <set>

#include "fakes/fake_platform.h"
#include "fakes/names.h"
#include "provision/firewall.h"
#include "provision/setup_marker.h"

namespace tessarin {
namespace {

using namespace fakes;

// A machine on which setup completed.
struct Ready : FakePlatform {
  Ready() {
    app_containers.registered = {kRoOff, kRoOn, kWwOff, kWwOn};
    marker({kRoOff, kWwOff});
  }
  void marker(std::vector<std::string> list, std::uint32_t version = 1) {
    files.add_file(kMarker, serialize_setup_marker(SetupMarker{version, std::move(list)}));
  }
  std::string verify() {
    const Status outcome = verify_readiness(platform, state_layout(env));
    EXPECT_EQ(app_containers.live_sids(), 0u);
    EXPECT_EQ(app_containers.wrong_release_calls, 0);
    return outcome ? std::string("ready") : outcome.error();
  }
};

TEST(Readiness, AllInPlaceStartsOneCheckForTheMarkersList) {
  Ready m;
  EXPECT_EQ(m.verify(), "ready");
  ASSERT_EQ(m.tools.runs.size(), 1u);
  EXPECT_EQ(m.tools.runs[0].name, "powershell.exe");
  EXPECT_EQ(m.tools.runs[0].arguments,
            (std::vector<std::string>{"-NoLogo", "-NoProfile", "-NonInteractive", "-Command",
                                      firewall_check_script({kRoOff, kWwOff})}));
  // Every profile is looked up, online ones too, in the fixed order.
  std::vector<std::string> folders;
  for (const auto& name : {kRoOff, kRoOn, kWwOff, kWwOn}) {
    folders.push_back("profile folder " + FakeAppContainerApi::sid_text_for(name));
  }
  EXPECT_EQ(m.events("profile folder "), folders);
}

TEST(Readiness, TheMarkerDecidesBeforeAnythingIsAsked) {
  {
    FakePlatform p;
    EXPECT_EQ(verify_readiness(p.platform, state_layout(p.env)).error(),
              "administrator initialization is required");
  }
  Ready m;
  m.files.add_file(kMarker, "");
  EXPECT_EQ(m.verify(), "setup marker is corrupt");
  m.files.add_file(kMarker, "{\"version\": 1, \"offline_profiles\": [");
  EXPECT_EQ(m.verify(), "setup marker is corrupt");
  m.marker({kRoOff, kWwOff}, 2);
  EXPECT_EQ(m.verify(), "Windows sandbox setup version does not match the helper");
  m.marker({kRoOff, kWwOff}, 0);
  EXPECT_EQ(m.verify(), "Windows sandbox setup version does not match the helper");
  EXPECT_TRUE(m.events("profile ").empty());
  EXPECT_TRUE(m.tools.runs.empty());
}

// A marker cut short or with any one bit changed is refused with one of the
// documented messages, or, if it still says the same, accepted; it is never
// changed, and no process starts for one that is refused.
TEST(Readiness, EveryTruncationAndFlippedBitOfTheMarkerIsRefusedOrMeansTheSame) {
  const std::string good = serialize_setup_marker(SetupMarker{1, {kRoOff, kWwOff}});
  for (const auto& [bytes, cut] : fakes::damaged_copies(good)) {
    Ready m;
    m.files.add_file(kMarker, bytes);
    const std::string outcome = m.verify();
    EXPECT_EQ(m.files.content(kMarker), bytes);
    const auto parsed = parse_setup_marker(bytes);
    if (cut || !parsed) {
      EXPECT_EQ(outcome, "setup marker is corrupt") << bytes;
      EXPECT_TRUE(m.tools.runs.empty()) << bytes;
    } else if (outcome == "ready") {
      EXPECT_EQ(parsed->version, 1u) << bytes;
      EXPECT_EQ(
          std::set<std::string>(parsed->offline_profiles.begin(), parsed->offline_profiles.end()),
          (std::set<std::string>{kRoOff, kWwOff}))
          << bytes;
    } else {
      EXPECT_TRUE(outcome == "Windows sandbox setup version does not match the helper" ||
                  outcome == "setup marker does not contain every offline identity")
          << outcome << " for " << bytes;
      EXPECT_TRUE(m.tools.runs.empty()) << bytes;
    }
  }
}

TEST(Readiness, TheFirstUnregisteredProfileInTheFixedOrderIsReported) {
  Ready m;
  m.app_containers.registered.erase(kWwOn);
  m.app_containers.registered.erase(kRoOn);
  EXPECT_EQ(m.verify(),
            "AppContainer profile Tessarin.Sandbox.v1.ReadOnly.Online is not registered");
  // Profiles come before the list.
  m.marker({});
  EXPECT_EQ(m.verify(),
            "AppContainer profile Tessarin.Sandbox.v1.ReadOnly.Online is not registered");
  EXPECT_TRUE(m.tools.runs.empty());
}

TEST(Readiness, IdentityFailuresPassThroughUnchanged) {
  Ready m;
  m.app_containers.derive_results[kWwOff] = 0x80070057u;
  EXPECT_EQ(m.verify(),
            "DeriveAppContainerSidFromAppContainerName(Tessarin.Sandbox.v1.WorkspaceWrite.Offline) "
            "failed: 0x80070057");
  m.app_containers.derive_results.clear();
  m.app_containers.sid_to_string_error = 1337;
  EXPECT_EQ(m.verify(), "ConvertSidToStringSidW failed: 1337");
}

TEST(Readiness, TheListMustNameExactlyTheOfflineIdentities) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {kRoOff},
      {kWwOff, kWwOff},
      {kRoOff, kWwOff, kRoOn},
      {kRoOff, kWwOff, "Tessarin.Sandbox.v1.Other.Offline"},
      {kRoOff, "tessarin.sandbox.v1.workspacewrite.offline"},
  };
  for (const auto& list : wrong) {
    Ready m;
    m.marker(list);
    EXPECT_EQ(m.verify(), "setup marker does not contain every offline identity");
    EXPECT_TRUE(m.tools.runs.empty());
  }
}

TEST(Readiness, RepetitionsAndOrderOfTheListReachTheCheckScript) {
  Ready m;
  m.marker({kWwOff, kRoOff, kWwOff});
  EXPECT_EQ(m.verify(), "ready");
  ASSERT_EQ(m.tools.runs.size(), 1u);
  EXPECT_EQ(m.tools.runs[0].arguments.back(), firewall_check_script({kWwOff, kRoOff, kWwOff}));
}

TEST(Readiness, AnyFirewallCheckFailureHasOneMessage) {
  Ready m;
  m.tools.on_run = [](const FakeToolRunner::Run&) -> SysResult<CapturedRun> {
    return CapturedRun{1, {}};
  };
  EXPECT_EQ(m.verify(), "required WFP/firewall rules are missing or disabled");
  m.tools.on_run = [](const FakeToolRunner::Run&) -> SysResult<CapturedRun> {
    return sys_fail(SystemError{2, "program not found"});
  };
  EXPECT_EQ(m.verify(), "required WFP/firewall rules are missing or disabled");
}

}  // namespace
}  // namespace tessarin
