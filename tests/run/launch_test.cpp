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
  EXPECT_THAT(fake.launcher.capabilities, ElementsAre(sid_text()));
  EXPECT_TRUE(fake.events("sid parse").empty());
  ASSERT_EQ(fake.launcher.created.size(), 1u);
  EXPECT_TRUE(fake.launcher.created[0].confined);
  EXPECT_EQ(fake.launcher.created[0].command_line, "tool.exe \"x y\"");
  EXPECT_EQ(fake.launcher.created[0].current_directory, "C:\\work");
  // Room for the security capabilities and the inherited handles.
  EXPECT_EQ(fake.events("launch initialize"),
            (std::vector<std::string>{"launch initialize 48 for 2"}));
}

TEST_F(Launch, OnlineChildGetsInternetClientThenPrivateNetworkAndReleasesThemLast) {
  request.network = true;
  ASSERT_TRUE(launch().ok());
  EXPECT_THAT(fake.launcher.capabilities, ElementsAre(sid_text(), "S-1-15-3-1", "S-1-15-3-3"));
  // Job, then the attribute list, then the capability SIDs.
  EXPECT_LT(position("launch close job"), position("launch delete_list"));
  EXPECT_LT(position("launch delete_list"), position("LocalFree S-1-15-3-1"));
  EXPECT_LT(position("launch delete_list"), position("LocalFree S-1-15-3-3"));
  EXPECT_EQ(fake.app_containers.live_sids(), 1u);  // only the borrowed identity SID
  EXPECT_EQ(fake.app_containers.wrong_release_calls, 0);
  EXPECT_EQ(fake.launcher.live_objects, 0);
  EXPECT_EQ(fake.processes.live_objects, 1);  // the borrowed caller
}

TEST_F(Launch, FailuresBeforeTheJobCreateNothingFurther) {
  struct Case {
    const char* step;
    const char* message;
  };
  for (const Case& c :
       {Case{"size", "size process attribute list failed: 87"},
        Case{"initialize", "initialize process attribute list failed: 87"},
        Case{"set_capabilities", "set AppContainer process attribute failed: 87"}}) {
    fakes::FakePlatform f;
    OwnedSid own = derive_identity_sid(f.app_containers, "n").value();
    RunRequest online = request;
    online.network = true;
    f.launcher.failures[c.step] = 87;
    auto parent = f.processes.open(77).value();
    const auto outcome = launch_in_app_container(f.platform, online, own, *parent);
    parent.reset();
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error(), c.message);
    EXPECT_TRUE(f.events("launch create_job").empty()) << c.step;
    EXPECT_EQ(f.launcher.live_objects, 0) << c.step;
    EXPECT_EQ(f.app_containers.live_sids(), 1u) << c.step;
  }
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
