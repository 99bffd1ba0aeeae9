#include "cli/front_end.h"

#include <gtest/gtest.h>

#include "cli/arguments.h"
#include "fakes/fake_platform.h"

namespace tessarin {
namespace {

using fakes::FakePlatform;

struct Outcome {
  std::uint32_t code;
  std::string out;
  std::string err;
  fakes::EventLog log;
};

Outcome run(std::vector<std::string> args, FakePlatform& p) {
  args.insert(args.begin(), "tessarin-sandbox.exe");
  p.console.args = std::move(args);
  const std::uint32_t code = run_front_end(p.platform);
  return {code, p.console.out, p.console.err, p.log};
}

Outcome run(std::vector<std::string> args) {
  FakePlatform p;
  return run(std::move(args), p);
}

const std::string kUsageLine = "tessarin-sandbox: " + std::string(kUsage) + "\n";

TEST(FrontEnd, UsageForAMissingOrUnknownCommandWordTouchesNothing) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"Status"}, {"SETUP"}, {"Run"}, {"help"}, {""}, {"status\n"}}) {
    const Outcome o = run(args);
    EXPECT_EQ(o.code, 2u);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, kUsageLine);
    EXPECT_TRUE(o.log.empty());
  }
}

TEST(FrontEnd, ArgumentThatIsNotUnicodeStopsBeforeDispatch) {
  FakePlatform p;
  p.console.arguments_error = "argument 2 is not valid Unicode";
  const std::uint32_t code = run_front_end(p.platform);
  EXPECT_EQ(code, kExitBadArgumentEncoding);
  for (const std::uint32_t taken : {0u, 2u, 77u, 78u}) EXPECT_NE(code, taken);
  EXPECT_EQ(p.console.err, "tessarin-sandbox: argument 2 is not valid Unicode\n");
  EXPECT_EQ(p.console.out, "");
  EXPECT_TRUE(p.log.empty());
}

TEST(FrontEnd, StatusIgnoresFurtherWordsAndWritesOneLineInOnePiece) {
  FakePlatform p;
  const Outcome o = run({"status", "--json", "run", "--"}, p);
  EXPECT_EQ(o.code, 0u);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(p.console.stdout_writes, 1);
  ASSERT_FALSE(o.out.empty());
  EXPECT_EQ(o.out.front(), '{');
  EXPECT_EQ(o.out.find('\n'), o.out.size() - 1);
  EXPECT_NE(o.out.find("\"ready\":false"), std::string::npos);
}

TEST(FrontEnd, SetupIgnoresFurtherWordsAndReportsReadyOrOneErrorLine) {
  const std::string refused =
      "tessarin-sandbox: administrator WFP/firewall initialization failed for "
      "Tessarin.Sandbox.v1.ReadOnly.Offline: PowerShell exited with exit code: 1. Run this "
      "helper's `setup --json` command from an elevated terminal\n";
  for (const std::uint32_t powershell_exit : {0u, 1u}) {
    FakePlatform p;
    p.tools.on_run = [&](const fakes::FakeToolRunner::Run&) -> SysResult<CapturedRun> {
      return CapturedRun{powershell_exit, {}};
    };
    const Outcome o = run({"setup", "--json", "status"}, p);
    EXPECT_EQ(o.code, powershell_exit == 0 ? 0u : 78u);
    EXPECT_EQ(o.out, powershell_exit == 0 ? "{\"version\":1,\"ready\":true}\n" : "");
    EXPECT_EQ(o.err, powershell_exit == 0 ? "" : refused);
  }
}

TEST(FrontEnd, RunArgumentErrorsExitWithTwoBeforeAnyStateIsTouched) {
  const Outcome o = run({"run", "--workspace", "W", "--cwd"});
  EXPECT_EQ(o.code, 2u);
  EXPECT_EQ(o.err, "tessarin-sandbox: missing value after --cwd\n");
  EXPECT_EQ(o.out, "");
  EXPECT_TRUE(o.log.empty());
}

TEST(FrontEnd, RunFailureIsOneErrorLineAndExitSeventySeven) {
  // No setup marker on the fake machine, so the run cannot start its child.
  const Outcome o = run({"run", "--workspace", "C:\\w", "--cwd", "C:\\w", "--preset", "read_only",
                         "--parent-pid", "1", "--", "cmd.exe"});
  EXPECT_EQ(o.code, 77u);
  EXPECT_EQ(o.out, "");
  ASSERT_EQ(o.err.rfind("tessarin-sandbox: ", 0), 0u) << o.err;
  EXPECT_EQ(o.err.find('\n'), o.err.size() - 1);
}

}  // namespace
}  // namespace tessarin
