#include "provision/setup.h"

#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "fakes/names.h"
#include "provision/firewall.h"
#include "provision/readiness.h"
#include "provision/setup_marker.h"

namespace tessarin {
namespace {

using namespace fakes;

const std::string kTemporary = kStateDir + "\\setup-v1.tmp";
const std::string kDisplay =
    " [Tessarin command sandbox] [Restricted identity used for Tessarin tool execution]";

std::string rule_event(const std::string& profile, std::string_view direction) {
  return "tool powershell.exe -NoLogo -NoProfile -NonInteractive -Command " +
         block_rule_script(profile, FakeAppContainerApi::sid_text_for(profile), direction);
}
std::string free_event(const std::string& profile) {
  return "FreeSid " + FakeAppContainerApi::sid_text_for(profile);
}

void expect_no_live_sids(const FakePlatform& p) {
  EXPECT_EQ(p.app_containers.live_sids(), 0u);
  EXPECT_EQ(p.app_containers.wrong_release_calls, 0);
}

// Exit code 1 from the n-th PowerShell run (counting from 1), 0 otherwise.
void fail_powershell_run(FakePlatform& p, std::size_t n) {
  p.tools.on_run = [&p, n](const FakeToolRunner::Run&) -> SysResult<CapturedRun> {
    return CapturedRun{p.tools.runs.size() == n ? 1u : 0u, {}};
  };
}

TEST(Setup, FreshMachineInTheFixedOrder) {
  FakePlatform p;
  ASSERT_TRUE(run_setup(p.platform));
  EXPECT_EQ(p.log, (fakes::EventLog{
                       "fs create_directories " + kStateDir,
                       "profile create " + kRoOff + kDisplay,
                       rule_event(kRoOff, kOutbound),
                       rule_event(kRoOff, kInbound),
                       free_event(kRoOff),
                       "profile create " + kRoOn + kDisplay,
                       free_event(kRoOn),
                       "profile create " + kWwOff + kDisplay,
                       rule_event(kWwOff, kOutbound),
                       rule_event(kWwOff, kInbound),
                       free_event(kWwOff),
                       "profile create " + kWwOn + kDisplay,
                       free_event(kWwOn),
                       "fs write " + kTemporary,
                       "fs rename " + kTemporary + " -> " + kMarker,
                   }));
  EXPECT_EQ(p.files.content(kMarker), serialize_setup_marker(SetupMarker{1, {kRoOff, kWwOff}}));
  EXPECT_EQ(p.app_containers.registered, (std::set<std::string>{kRoOff, kRoOn, kWwOff, kWwOn}));
  expect_no_live_sids(p);
}

TEST(Setup, ASecondRunDerivesExistingProfilesAndReachesTheSameState) {
  FakePlatform p;
  ASSERT_TRUE(run_setup(p.platform));
  const std::string first_marker = p.files.content(kMarker);
  const auto first_rules = p.events("tool ");
  p.log.clear();
  ASSERT_TRUE(run_setup(p.platform));
  EXPECT_EQ(p.events("profile derive "),
            (fakes::EventLog{"profile derive " + kRoOff, "profile derive " + kRoOn,
                             "profile derive " + kWwOff, "profile derive " + kWwOn}));
  EXPECT_EQ(p.events("tool "), first_rules);
  EXPECT_EQ(p.events("fs remove_file "), (fakes::EventLog{"fs remove_file " + kMarker}));
  EXPECT_EQ(p.files.content(kMarker), first_marker);
  expect_no_live_sids(p);
}

TEST(Setup, NotElevatedStopsAtTheFirstRule) {
  FakePlatform p;
  fail_powershell_run(p, 1);
  const Status outcome = run_setup(p.platform);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error(),
            "administrator WFP/firewall initialization failed for "
            "Tessarin.Sandbox.v1.ReadOnly.Offline: PowerShell exited with exit code: 1. Run this "
            "helper's `setup --json` command from an elevated terminal");
  EXPECT_EQ(p.app_containers.registered, (std::set<std::string>{kRoOff}));
  EXPECT_EQ(p.tools.runs.size(), 1u);  // Inbound is not tried
  EXPECT_TRUE(p.events("fs write").empty());
  expect_no_live_sids(p);
}

TEST(Setup, AFailedInboundRuleOfTheSecondIdentityIsWrappedWithItsName) {
  FakePlatform p;
  p.files.add_file(kMarker, "earlier marker");
  fail_powershell_run(p, 4);
  EXPECT_EQ(run_setup(p.platform).error(),
            "administrator WFP/firewall initialization failed for "
            "Tessarin.Sandbox.v1.WorkspaceWrite.Offline: PowerShell exited with exit code: 1. "
            "Run this helper's `setup --json` command from an elevated terminal");
  EXPECT_EQ(p.files.content(kMarker), "earlier marker");
  EXPECT_EQ(p.app_containers.registered, (std::set<std::string>{kRoOff, kRoOn, kWwOff}));
  expect_no_live_sids(p);
}

TEST(Setup, PowerShellThatCannotStartIsReportedInTheFirewallMessage) {
  FakePlatform p;
  p.tools.on_run = [](const FakeToolRunner::Run&) -> SysResult<CapturedRun> {
    return sys_fail(SystemError{2, "program not found"});
  };
  EXPECT_EQ(run_setup(p.platform).error(),
            "administrator WFP/firewall initialization failed for "
            "Tessarin.Sandbox.v1.ReadOnly.Offline: failed to start PowerShell: program not found. "
            "Run this helper's `setup --json` command from an elevated terminal");
  expect_no_live_sids(p);
}

TEST(Setup, NoStateDirectoryMeansNothingElseIsTouched) {
  FakePlatform p;
  p.files.fail("create_directories", kStateDir, 5);
  EXPECT_EQ(run_setup(p.platform).error(), "create state directory: fake error 5 (os error 5)");
  EXPECT_EQ(p.log, (fakes::EventLog{"fs create_directories " + kStateDir}));
}

TEST(Setup, IdentityFailuresPassThroughUnchangedAndReleaseTheSid) {
  {
    FakePlatform p;
    p.app_containers.create_results[kWwOff] = 0x80070005u;
    EXPECT_EQ(run_setup(p.platform).error(),
              "CreateAppContainerProfile(Tessarin.Sandbox.v1.WorkspaceWrite.Offline) failed: "
              "0x80070005");
    EXPECT_TRUE(p.events("fs write").empty());
    expect_no_live_sids(p);
  }
  {
    FakePlatform p;
    p.app_containers.registered.insert(kRoOn);
    p.app_containers.derive_results[kRoOn] = 0x80004005u;
    EXPECT_EQ(run_setup(p.platform).error(),
              "DeriveAppContainerSidFromAppContainerName(Tessarin.Sandbox.v1.ReadOnly.Online) "
              "failed: 0x80004005");
    expect_no_live_sids(p);
  }
  {
    FakePlatform p;
    p.app_containers.sid_to_string_error = 8;
    EXPECT_EQ(run_setup(p.platform).error(), "ConvertSidToStringSidW failed: 8");
    EXPECT_TRUE(p.tools.runs.empty());
    expect_no_live_sids(p);
  }
}

TEST(Setup, MarkerFailuresPassThroughUnchanged) {
  FakePlatform p;
  p.files.add_directory(kMarker);
  EXPECT_EQ(run_setup(p.platform).error(), "replace setup marker: fake error 5 (os error 5)");
  expect_no_live_sids(p);
}

TEST(Setup, SetupAndReadinessAgreeWithoutLocalAppData) {
  for (const bool empty : {false, true}) {
    FakePlatform p;
    if (empty) {
      p.env.variables["LOCALAPPDATA"] = "";
    } else {
      p.env.variables.erase("LOCALAPPDATA");
    }
    ASSERT_TRUE(run_setup(p.platform));
    EXPECT_TRUE(
        p.files.has("C:\\Users\\u\\AppData\\Local\\Temp\\Tessarin\\sandbox\\setup-v1.json"));
    const Status ready = verify_readiness(p.platform, state_layout(p.env));
    EXPECT_TRUE(ready) << ready.error();
    expect_no_live_sids(p);
  }
}

}  // namespace
}  // namespace tessarin
