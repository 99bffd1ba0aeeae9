#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "run/supervise.h"

namespace tessarin {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

// The caller is opened by the test, as the run opens it before the lock.
struct Watched {
  fakes::FakePlatform fake;
  std::unique_ptr<Handle> caller = fake.processes.open(77).value();
  Result<std::uint32_t> run(const std::vector<std::string>& command = {"x"},
                            const std::string& cwd = "C:\\") {
    return run_in_kill_on_close_job(fake.launcher, fake.processes, command, cwd, *caller, nullptr);
  }
  // The launch's and the processes' events, in order.
  std::vector<std::string> events() const {
    auto all = fake.events("");
    std::erase_if(all, [](const std::string& e) {
      return !e.starts_with("launch ") && !e.starts_with("process ");
    });
    return all;
  }
};

TEST(Supervision, ChildExitCodeComesBackUnchangedAndEverythingIsReleasedInOrder) {
  Watched w;
  w.fake.processes.child_exit_code = 3221225477u;
  const auto outcome = w.run({"tool.exe", "a b", ""}, "D:\\work dir\\");
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  EXPECT_EQ(*outcome, 3221225477u);
  // Only the standard handles are inherited, and they go once the child
  // exists; the console close may end the job only while it is open; the
  // tree is ended and waited for before the job closes.
  EXPECT_THAT(w.events(),
              ElementsAre("process open 77", "launch size 1", "launch initialize 48 for 1",
                          "launch standard_handles", "launch handle_list", "launch create_job",
                          "launch kill_on_close job", "launch create_process tool.exe \"a b\" \"\"",
                          "launch close standard_handles", "launch assign process to job",
                          "launch console_job job", "launch console_event", "launch resume thread",
                          "process wait_either process parent", "launch console_event",
                          "process exit_code process", "launch close thread",
                          "launch close process", "launch console_job none", "launch end_job job",
                          "launch close job", "launch delete_list"));
  ASSERT_EQ(w.fake.launcher.created.size(), 1u);
  EXPECT_EQ(w.fake.launcher.created[0].current_directory, "D:\\work dir\\");
  EXPECT_FALSE(w.fake.launcher.created[0].confined);
  EXPECT_EQ(w.fake.launcher.live_objects, 0);
  EXPECT_EQ(w.fake.processes.live_objects, 1);  // the caller, which the run borrows
}

// A tree ended from outside yields a message: the exit code its processes
// get from the job's end is not the command's.
TEST(Supervision, CallerGoneOrAConsoleEventEndsTheTreeWithoutReadingAnExitCode) {
  using Event = LaunchApi::ConsoleEvent;
  const std::string parent = "parent process exited; terminated the sandbox process tree";
  const std::string console = "console closed; terminated the sandbox process tree";
  struct Case {
    const char* name;
    Woke woken;
    std::vector<Event> console_looks;
    std::string message;
    bool resumed;
  };
  for (const Case& c :
       {Case{"caller gone", Woke::Second, {}, parent, true},
        Case{"wait timed out", Woke::TimedOut, {}, parent, true},
        Case{
            "closed while the child ran", Woke::First, {Event::None, Event::Closed}, console, true},
        Case{"closed before the job existed", Woke::First, {Event::Closed}, console, false},
        Case{"interrupted while a child with its own console ran",
             Woke::First,
             {Event::None, Event::Interrupted},
             "interrupted; terminated the sandbox process tree",
             true},
        Case{"interrupted before the job existed",
             Woke::First,
             {Event::Interrupted},
             "interrupted before the sandbox process started",
             false}}) {
    Watched w;
    w.fake.processes.either_result = c.woken;
    w.fake.launcher.console_looks = c.console_looks;
    const auto outcome = w.run();
    ASSERT_FALSE(outcome.ok()) << c.name;
    EXPECT_EQ(outcome.error(), c.message) << c.name;
    EXPECT_EQ(w.fake.launcher.child_resumed, c.resumed) << c.name;
    EXPECT_THAT(w.events(), Not(Contains("process exit_code process"))) << c.name;
    EXPECT_THAT(w.fake.events("launch"), Contains("launch end_job job")) << c.name;
  }
}

TEST(Supervision, OpeningTheCallerRefusesOneYoungerThanTheHelper) {
  struct Case {
    const char* step;
    std::uint64_t parent_created;
    const char* message;  // empty: the caller is opened
  };
  for (const Case& c : {Case{"open", 100, "open parent process failed: 87"},
                        Case{"creation_time", 100, "open parent process failed: 87"},
                        Case{"", 201, "parent process exited; terminated the sandbox process tree"},
                        Case{"", 200, ""}}) {
    fakes::FakePlatform fake;
    if (*c.step != '\0') fake.processes.failures[c.step] = 87;
    fake.processes.parent_creation_time = c.parent_created;
    {
      const auto caller = open_caller(fake.processes, 77);
      EXPECT_EQ(caller.ok() ? "" : caller.error(), c.message) << c.step << c.parent_created;
    }
    EXPECT_EQ(fake.processes.live_objects, 0);
  }
}

struct StepFailure {
  const char* step;
  const char* message;
  bool child_created;
  bool child_resumed;
};

// Each case is named after its step in the test's name.
void PrintTo(const StepFailure& c, std::ostream* out) {
  *out << c.step;
}

class SupervisionStep : public ::testing::TestWithParam<StepFailure> {};

TEST_P(SupervisionStep, FailsWithItsMessageAndReleasesWhatExists) {
  const StepFailure& c = GetParam();
  Watched w;
  const std::string step = c.step;
  (step == "wait_either" || step == "exit_code" ? w.fake.processes.failures
                                                : w.fake.launcher.failures)[step] = 5;
  const auto outcome = w.run();
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), c.message);
  EXPECT_EQ(w.fake.launcher.child_resumed, c.child_resumed);
  // Only a child outside the job is ended directly; the job ends all others.
  EXPECT_EQ(w.fake.launcher.child_terminated, std::string(c.step) == "assign");
  EXPECT_EQ(w.fake.launcher.live_objects, 0);
  const auto events = w.fake.events("launch");
  if (c.child_created) {
    // The standard handles once the child exists; thread, then process, then
    // the tree and the job, whatever the failure.
    std::vector<std::string> closes;
    for (const auto& e : events) {
      if (e.rfind("launch close", 0) == 0 || e.rfind("launch end_job", 0) == 0) {
        closes.push_back(e);
      }
    }
    EXPECT_THAT(closes,
                ElementsAre("launch close standard_handles", "launch close thread",
                            "launch close process", "launch end_job job", "launch close job"));
  }
  EXPECT_EQ(events.back(), "launch delete_list");
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, SupervisionStep,
    ::testing::Values(
        StepFailure{"standard_handles", "inherit standard handles failed: 5", false, false},
        StepFailure{"handle_list", "set inherited handle list failed: 5", false, false},
        StepFailure{"create_job", "CreateJobObjectW failed: 5", false, false},
        StepFailure{"kill_on_close", "enable Job Object kill-on-close failed: 5", false, false},
        StepFailure{"create_process", "CreateProcessW in AppContainer failed: 5", false, false},
        StepFailure{"assign", "AssignProcessToJobObject failed: 5", true, false},
        StepFailure{"resume", "ResumeThread failed: 5", true, false},
        StepFailure{"wait_either", "wait for the sandbox process failed: 5", true, true},
        StepFailure{"exit_code", "GetExitCodeProcess failed: 5", true, true}),
    [](const auto& param_info) { return std::string(param_info.param.step); });

TEST(Supervision, ChildLeftOutsideTheJobIsTerminatedAndNeverResumed) {
  Watched w;
  w.fake.launcher.failures["assign"] = 5;
  const auto outcome = w.run();
  ASSERT_FALSE(outcome.ok());
  EXPECT_TRUE(w.fake.launcher.child_terminated);
  EXPECT_FALSE(w.fake.launcher.child_resumed);
  const auto events = w.fake.events("launch");
  const auto terminate = std::find(events.begin(), events.end(), "launch terminate process");
  const auto close = std::find(events.begin(), events.end(), "launch close process");
  EXPECT_LT(terminate, close);
  // Never handed to the console handler: it is not in the job.
  EXPECT_THAT(events, Not(Contains("launch console_job job")));
}

}  // namespace
}  // namespace tessarin
