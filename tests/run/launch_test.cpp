#include "run/launch.h"

#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "fakes/names.h"
#include "provision/identities.h"

namespace tessarin {
namespace {

using ::testing::ElementsAre;

struct Launch : ::testing::Test {
  fakes::FakePlatform fake;
  RunRequest request;
  OwnedSid sid;
  std::unique_ptr<Handle> caller = fake.processes.open(77).value();

  Launch() {
    request.command = {"tool.exe", "x y"};
    request.cwd = "C:\\work";
    request.parent_pid = 77;
    sid = derive_identity_sid(fake.app_containers, fakes::kRoOff).value();
  }
  Result<std::uint32_t> launch() {
    return launch_in_app_container(fake.platform, request, sid, *caller);
  }
  std::string sid_text() const { return fakes::FakeAppContainerApi::sid_text_for(fakes::kRoOff); }
  std::size_t position(const std::string& event) const {
    const auto it = std::find(fake.log.begin(), fake.log.end(), event);
    EXPECT_NE(it, fake.log.end()) << event;
    return static_cast<std::size_t>(it - fake.log.begin());
  }
};

TEST_F(Launch, OfflineChildGetsTheIdentityAndNoCapability) {
  fake.processes.child_exit_code = 1;
  ASSERT_EQ(launch().value(), 1u);
  EXPECT_TRUE(fake.events("sid parse").empty());
  ASSERT_EQ(fake.launcher.created.size(), 1u);
  EXPECT_THAT(fake.launcher.created[0].capabilities, ElementsAre(sid_text()));
  EXPECT_EQ(fake.launcher.created[0].command_line, "tool.exe \"x y\"");
  EXPECT_EQ(fake.launcher.created[0].current_directory, "C:\\work");
}

TEST_F(Launch, OnlineChildGetsInternetClientThenPrivateNetworkAndReleasesThemLast) {
  request.network = true;
  ASSERT_TRUE(launch().ok());
  EXPECT_THAT(fake.launcher.created.at(0).capabilities,
              ElementsAre(sid_text(), "S-1-15-3-1", "S-1-15-3-3"));
  // The child and its job, then the capability SIDs.
  EXPECT_LT(position("launch close job"), position("LocalFree S-1-15-3-1"));
  EXPECT_LT(position("launch close job"), position("LocalFree S-1-15-3-3"));
  EXPECT_EQ(fake.app_containers.live_sids(), 1u);  // only the borrowed identity SID
  EXPECT_EQ(fake.app_containers.wrong_release_calls, 0);
  EXPECT_EQ(fake.launcher.live_objects, 0);
  EXPECT_EQ(fake.processes.live_objects, 1);  // the borrowed caller
}

// A start that fails still releases the capability SIDs it was given.
TEST_F(Launch, AFailedStartReleasesTheCapabilities) {
  request.network = true;
  fake.launcher.failing_step = LaunchStep::kCapabilities;
  const auto outcome = launch();
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), "set AppContainer process attribute failed: 5");
  EXPECT_EQ(fake.app_containers.live_sids(), 1u);
}

TEST_F(Launch, ACapabilitySidThatCannotBeMadeStopsBeforeAnyLaunchCall) {
  request.network = true;
  fake.app_containers.string_to_sid_errors["S-1-15-3-3"] = 1337;
  const auto outcome = launch();
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), "failed to create network capability SID: 1337");
  EXPECT_TRUE(fake.events("launch").empty());
  EXPECT_EQ(fake.app_containers.live_sids(), 1u);
}

}  // namespace
}  // namespace tessarin
