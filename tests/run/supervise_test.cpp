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
    return run_in_kill_on_close_job(fake.launcher, fake.console_events, fake.processes, command,
                                    cwd, *caller, nullptr);
  }
  // The launch's, the console's and the processes' events, in order.
  std::vector<std::string> events() const {
    auto all = fake.events("");
    std::erase_if(all, [](const std::string& e) {
      return !e.starts_with("launch ") && !e.starts_with("process ") && !e.starts_with("console ");
    });
    return all;
  }
};

TEST(Supervision, ChildExitCodeComesBackUnchangedAndEverythingIsReleasedInOrder) {
  for (const bool shared : {false, true}) {
    Watched w;
    w.fake.launcher.console_shared = shared;
    w.fake.processes.child_exit_code = 3221225477u;
    const auto outcome = w.run({"tool.exe", "a b", ""}, "D:\\work dir\\");
    ASSERT_TRUE(outcome.ok()) << outcome.error();
    EXPECT_EQ(*outcome, 3221225477u);
    // The console may end the job only while it is open, and interrupts only
    // a child with a console of its own; the tree is ended and waited for
    // before the job closes.
    const std::string job = shared ? "console job job" : "console job job and interrupts";
    EXPECT_THAT(
        w.events(),
        ElementsAre("process open 77", "launch start tool.exe \"a b\" \"\"", job, "console look",
                    "launch resume thread", "process wait_either process parent", "console look",
                    "process exit_code process", "console job none", "launch end_job job",
                    "launch close thread", "launch close process", "launch close job"));
    ASSERT_EQ(w.fake.launcher.created.size(), 1u);
    EXPECT_EQ(w.fake.launcher.created[0].current_directory, "D:\\work dir\\");
    EXPECT_TRUE(w.fake.launcher.created[0].capabilities.empty());
    EXPECT_EQ(w.fake.launcher.created[0].own_console, !shared);
    EXPECT_EQ(w.fake.launcher.live_objects, 0);
    EXPECT_EQ(w.fake.processes.live_objects, 1);  // the caller, which the run borrows
  }
}

// A tree ended from outside yields a message: the exit code its processes
// get from the job's end is not the command's.
TEST(Supervision, CallerGoneOrAConsoleEventEndsTheTreeWithoutReadingAnExitCode) {
  using Event = ConsoleEvents::Event;
  const std::string parent = "parent process exited; terminated the sandbox process tree";
  const std::string console = "console closed; terminated the sandbox process tree";
  struct Case {
    const char* name;
    Woke woken;
    std::vector<Event> looks;
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
    w.fake.console_events.looks = c.looks;
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

// Every failing step of the start, and of what follows it, has its message;
// a start that fails leaves nothing to release or end, and a child is never
// resumed after a failure.
TEST(Supervision, EveryFailingStepHasItsMessageAndReleasesWhatExists) {
  struct Case {
    std::optional<LaunchStep> start;
    const char* other;  // a later step: "resume", "wait_either" or "exit_code"
    const char* message;
  };
  using S = LaunchStep;
  for (const Case& c : {
           Case{S::kSizeList, "", "size process attribute list failed: 5"},
           Case{S::kInitializeList, "", "initialize process attribute list failed: 5"},
           Case{S::kCapabilities, "", "set AppContainer process attribute failed: 5"},
           Case{S::kStandardHandles, "", "inherit standard handles failed: 5"},
           Case{S::kHandleList, "", "set inherited handle list failed: 5"},
           Case{S::kCreateJob, "", "CreateJobObjectW failed: 5"},
           Case{S::kKillOnClose, "", "enable Job Object kill-on-close failed: 5"},
           Case{S::kCreateProcess, "", "CreateProcessW in AppContainer failed: 5"},
           Case{S::kAssign, "", "AssignProcessToJobObject failed: 5"},
           Case{std::nullopt, "resume", "ResumeThread failed: 5"},
           Case{std::nullopt, "wait_either", "wait for the sandbox process failed: 5"},
           Case{std::nullopt, "exit_code", "GetExitCodeProcess failed: 5"},
       }) {
    Watched w;
    const std::string other = c.other;
    w.fake.launcher.failing_step = c.start;
    (other == "resume" ? w.fake.launcher.failures : w.fake.processes.failures)[other] = 5;
    const auto outcome = w.run();
    ASSERT_FALSE(outcome.ok()) << c.message;
    EXPECT_EQ(outcome.error(), c.message);
    EXPECT_EQ(w.fake.launcher.child_resumed, other == "wait_either" || other == "exit_code")
        << c.message;
    EXPECT_EQ(w.fake.launcher.live_objects, 0) << c.message;
    EXPECT_EQ(w.fake.events("launch end_job").size(), c.start ? 0u : 1u) << c.message;
  }
}

}  // namespace
}  // namespace tessarin
