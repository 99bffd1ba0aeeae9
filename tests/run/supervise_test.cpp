#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "run/launch.h"

namespace tessarin {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

struct Supervision : ::testing::Test {
  fakes::FakePlatform fake;
  Result<std::uint32_t> run() {
    return run_in_kill_on_close_job(fake.launcher, {"tool.exe", "a b", ""}, "D:\\work dir\\", 77,
                                    nullptr);
  }
};

TEST_F(Supervision, ChildExitCodeComesBackUnchangedAndEverythingIsReleasedInOrder) {
  fake.launcher.child_exit_code = 3221225477u;
  const auto outcome = run();
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  EXPECT_EQ(*outcome, 3221225477u);
  EXPECT_THAT(
      fake.events("launch"),
      ElementsAre("launch create_job", "launch kill_on_close job",
                  "launch create_process tool.exe \"a b\" \"\"", "launch assign process to job",
                  "launch resume thread", "launch open_parent 77", "launch wait process parent",
                  "launch close parent", "launch exit_code process", "launch close thread",
                  "launch close process", "launch close job"));
  ASSERT_EQ(fake.launcher.created.size(), 1u);
  EXPECT_EQ(fake.launcher.created[0].current_directory, "D:\\work dir\\");
  EXPECT_FALSE(fake.launcher.created[0].confined);
  EXPECT_EQ(fake.launcher.live_objects, 0);
}

TEST_F(Supervision, CallerGoneOrWaitFailedEndsTheTreeWithoutReadingAnExitCode) {
  for (const std::uint32_t woken : {1u, 0xFFFFFFFFu, 258u}) {
    fakes::FakePlatform f;
    f.launcher.wait_result = woken;
    const auto outcome = run_in_kill_on_close_job(f.launcher, {"x"}, "C:\\", 9, nullptr);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error(), "parent process exited; terminated the sandbox process tree");
    EXPECT_THAT(f.events("launch"), Not(Contains("launch exit_code process")));
    // The job closes last, which is what ends the child tree.
    EXPECT_EQ(f.events("launch").back(), "launch close job");
    EXPECT_EQ(f.launcher.live_objects, 0);
  }
}

struct StepFailure {
  const char* step;
  const char* message;
  bool child_created;
  bool child_resumed;
};

class SupervisionStep : public ::testing::TestWithParam<StepFailure> {};

TEST_P(SupervisionStep, FailsWithItsMessageAndReleasesWhatExists) {
  const StepFailure& c = GetParam();
  fakes::FakePlatform fake;
  fake.launcher.failures[c.step] = 5;
  const auto outcome = run_in_kill_on_close_job(fake.launcher, {"x"}, "C:\\", 9, nullptr);
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), c.message);
  EXPECT_EQ(fake.launcher.child_resumed, c.child_resumed);
  // Only a child outside the job is ended directly; the job ends all others.
  EXPECT_EQ(fake.launcher.child_terminated, std::string(c.step) == "assign");
  EXPECT_EQ(fake.launcher.live_objects, 0);
  const auto events = fake.events("launch");
  if (c.child_created) {
    // Thread, then process, then the job, whatever the failure.
    std::vector<std::string> closes;
    for (const auto& e : events) {
      if (e.rfind("launch close", 0) == 0 && e != "launch close parent") closes.push_back(e);
    }
    EXPECT_THAT(closes,
                ElementsAre("launch close thread", "launch close process", "launch close job"));
  }
  if (std::string(c.step) != "create_job") {
    EXPECT_EQ(events.back(), "launch close job");
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, SupervisionStep,
    ::testing::Values(
        StepFailure{"create_job", "CreateJobObjectW failed: 5", false, false},
        StepFailure{"kill_on_close", "enable Job Object kill-on-close failed: 5", false, false},
        StepFailure{"create_process", "CreateProcessW in AppContainer failed: 5", false, false},
        StepFailure{"assign", "AssignProcessToJobObject failed: 5", true, false},
        StepFailure{"resume", "ResumeThread failed: 5", true, false},
        StepFailure{"open_parent", "open parent process failed: 5", true, true},
        StepFailure{"exit_code", "GetExitCodeProcess failed: 5", true, true}),
    [](const auto& param_info) { return std::string(param_info.param.step); });

TEST_F(Supervision, ChildLeftOutsideTheJobIsTerminatedAndNeverResumed) {
  fake.launcher.failures["assign"] = 5;
  const auto outcome = run();
  ASSERT_FALSE(outcome.ok());
  EXPECT_TRUE(fake.launcher.child_terminated);
  EXPECT_FALSE(fake.launcher.child_resumed);
  const auto events = fake.events("launch");
  const auto terminate = std::find(events.begin(), events.end(), "launch terminate process");
  const auto close = std::find(events.begin(), events.end(), "launch close process");
  EXPECT_LT(terminate, close);
}

}  // namespace
}  // namespace tessarin
