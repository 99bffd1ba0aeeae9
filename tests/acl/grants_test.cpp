#include "acl/grants.h"

#include <gtest/gtest.h>

#include "fakes/fake_platform.h"

namespace tessarin {
namespace {

using Args = std::vector<std::string>;

const std::string kSid = "S-1-15-2-1-2-3";

Args grant_args(const std::string& path, const std::string& permission) {
  return {path, "/grant", "*" + kSid + ":" + permission, "/T", "/C", "/Q"};
}
Args revoke_args(const std::string& path) {
  return {path, "/remove:g", "*" + kSid, "/T", "/C", "/Q"};
}

class Grants : public ::testing::Test {
 protected:
  fakes::FakePlatform fake;

  std::vector<Args> tool_arguments() const {
    std::vector<Args> out;
    for (const auto& run : fake.tools.runs) {
      EXPECT_EQ(run.name, "icacls.exe");
      EXPECT_TRUE(run.captured);
      out.push_back(run.arguments);
    }
    return out;
  }
  // Makes the tool fail for one path with this exit code and standard error.
  void fail_for(const std::string& path, std::string standard_error, std::uint32_t code = 5) {
    fake.tools.on_run = [=](const fakes::FakeToolRunner::Run& run) -> SysResult<CapturedRun> {
      if (run.arguments.front() == path) return CapturedRun{code, standard_error};
      return CapturedRun{};
    };
  }
};

TEST_F(Grants, ReadOnlyGivesTheWorkspaceAndReadableRootsReadExecuteAndEverythingElseModify) {
  const std::string workspace = "\\\\?\\D:\\work", temp = "C:\\state\\tmp\\7";
  const std::vector<std::string> roots = {"\\\\?\\D:\\out", "\\\\?\\D:\\out"}, tools = {"D:\\py"};
  ASSERT_TRUE(grant_workspace_access(
      fake.tools, {workspace, kSid, AccessLevel::ReadExecute, roots, tools, temp}));
  EXPECT_EQ(tool_arguments(),
            (std::vector<Args>{grant_args(workspace, "(OI)(CI)RX"),
                               grant_args(roots[0], "(OI)(CI)M"), grant_args(roots[0], "(OI)(CI)M"),
                               grant_args(tools[0], "(OI)(CI)RX"), grant_args(temp, "(OI)(CI)M")}));
}

TEST_F(Grants, WorkspaceWriteGivesModifyToAll) {
  const std::string workspace = "D:\\work", temp = "C:\\tmp\\7";
  const std::vector<std::string> none;
  ASSERT_TRUE(
      grant_workspace_access(fake.tools, {workspace, kSid, AccessLevel::Modify, none, none, temp}));
  EXPECT_EQ(tool_arguments(),
            (std::vector<Args>{grant_args(workspace, "(OI)(CI)M"), grant_args(temp, "(OI)(CI)M")}));
}

TEST_F(Grants, TheFirstFailingGrantEndsThePlan) {
  const std::vector<std::string> roots = {"D:\\a", "D:\\b", "D:\\c"};
  fail_for("D:\\b", "Access is denied.\r\n");
  const Status granted = grant_workspace_access(
      fake.tools, {"D:\\work", kSid, AccessLevel::ReadExecute, roots, roots, "C:\\tmp\\7"});
  ASSERT_FALSE(granted);
  EXPECT_EQ(granted.error(), "workspace ACL grant failed for D:\\b: Access is denied.");
  EXPECT_EQ(tool_arguments().size(), 3u);  // workspace, a, b; no readable root, no temp
}

TEST_F(Grants, ErrorDetailIsTrimmedLossyStandardError) {
  fail_for("D:\\w", "");
  EXPECT_EQ(grant_path(fake.tools, "D:\\w", kSid, AccessLevel::Modify).error(),
            "workspace ACL grant failed for D:\\w: ");
  // Unicode white space at both ends (tab, ideographic space, no-break space,
  // line separator), a stray byte and a cut-off sequence inside.
  fail_for("D:\\w", "\t\xE3\x80\x80 bad \xFF byte \xE2\x82 end\xC2\xA0\r\n\xE2\x80\xA8", 1332);
  EXPECT_EQ(grant_path(fake.tools, "D:\\w", kSid, AccessLevel::Modify).error(),
            "workspace ACL grant failed for D:\\w: bad \xEF\xBF\xBD byte \xEF\xBF\xBD end");
  fake.files.add_directory("D:\\w");
  fail_for("D:\\w", " \r\n");
  EXPECT_EQ(revoke_path(fake.tools, fake.files, "D:\\w", kSid).error(),
            "workspace ACL cleanup failed for D:\\w: ");
}

TEST_F(Grants, AToolThatCannotStartNamesThePath) {
  fake.tools.on_run = [](const fakes::FakeToolRunner::Run&) -> SysResult<CapturedRun> {
    return sys_fail(SystemError{2, "program not found"});
  };
  fake.files.add_directory("D:\\w");
  EXPECT_EQ(grant_path(fake.tools, "D:\\w", kSid, AccessLevel::ReadExecute).error(),
            "failed to start icacls for D:\\w: program not found");
  EXPECT_EQ(revoke_path(fake.tools, fake.files, "D:\\w", kSid).error(),
            "failed to start icacls for D:\\w: program not found");
}

TEST_F(Grants, APathTheLeaseCannotRecordIsNeverGranted) {
  const Status granted = grant_path(fake.tools, "D:\\w\xC3", kSid, AccessLevel::Modify);
  EXPECT_EQ(granted.error(),
            "workspace ACL grant failed for D:\\w\xEF\xBF\xBD: the path is not valid UTF-8");
  EXPECT_TRUE(fake.tools.runs.empty());
}

TEST_F(Grants, RevocationSkipsVanishedPathsAndJoinsFailures) {
  for (const char* path : {"D:\\a", "D:\\b", "D:\\c"}) fake.files.add_directory(path);
  fake.tools.on_run = [](const fakes::FakeToolRunner::Run& run) -> SysResult<CapturedRun> {
    if (run.arguments.front() == "D:\\b") return CapturedRun{};
    return CapturedRun{2, run.arguments.front() + " is locked\r\n"};
  };
  const Status revoked =
      revoke_all(fake.tools, fake.files, {"D:\\a", "D:\\gone", "D:\\b", "D:\\c"}, kSid);
  EXPECT_EQ(revoked.error(),
            "workspace ACL cleanup failed for D:\\a: D:\\a is locked; "
            "workspace ACL cleanup failed for D:\\c: D:\\c is locked");
  EXPECT_EQ(tool_arguments(),
            (std::vector<Args>{revoke_args("D:\\a"), revoke_args("D:\\b"), revoke_args("D:\\c")}));
  EXPECT_TRUE(revoke_all(fake.tools, fake.files, {}, kSid));
  EXPECT_TRUE(revoke_all(fake.tools, fake.files, {"D:\\b", "D:\\gone"}, kSid));
}

}  // namespace
}  // namespace tessarin
