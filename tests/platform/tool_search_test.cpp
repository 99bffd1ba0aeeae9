#include "platform/tool_search.h"

#include <gtest/gtest.h>

#include "fakes/fake_platform.h"

namespace tessarin {
namespace {

TEST(ToolSearch, SystemCopyFirstElseOwnDirectorySystemWindowsAndAbsolutePathEntries) {
  fakes::FakePlatform p;
  p.env.variables["PATH"] = ".;tools;;\"D:\\quoted\";D:\\bin";
  auto found = [&] {
    auto r = find_tool(p.env, p.files, "icacls.exe");
    return r ? *r : r.error().text;
  };
  EXPECT_EQ(found(), "program not found");
  p.files.add_file("tools\\icacls.exe");  // relative entries are never searched
  p.files.add_file(".\\icacls.exe");
  EXPECT_EQ(found(), "program not found");
  p.files.add_file("D:\\bin\\icacls.exe");
  EXPECT_EQ(found(), "D:\\bin\\icacls.exe");
  p.files.add_file("D:\\quoted\\icacls.exe");
  EXPECT_EQ(found(), "D:\\quoted\\icacls.exe");
  p.files.add_file("C:\\Windows\\icacls.exe");
  EXPECT_EQ(found(), "C:\\Windows\\icacls.exe");
  p.files.add_directory("C:\\Windows\\System32\\icacls.exe");  // a directory is no program
  EXPECT_EQ(found(), "C:\\Windows\\icacls.exe");
  p.files.add_file(p.env.exe_dir + "\\icacls.exe");
  EXPECT_EQ(found(), p.env.exe_dir + "\\icacls.exe");
  // The system's own copy wins over one planted beside the helper.
  p.files.nodes.erase("C:\\Windows\\System32\\icacls.exe");
  p.files.add_file("C:\\Windows\\System32\\icacls.exe");
  EXPECT_EQ(found(), "C:\\Windows\\System32\\icacls.exe");
  // PowerShell's is not in the system directory itself.
  p.files.add_file(p.env.exe_dir + "\\powershell.exe");
  p.files.add_file("C:\\Windows\\System32\\powershell.exe");
  EXPECT_EQ(*find_tool(p.env, p.files, "powershell.exe"), p.env.exe_dir + "\\powershell.exe");
  const std::string system_copy = "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";
  p.files.add_file(system_copy);
  EXPECT_EQ(*find_tool(p.env, p.files, "powershell.exe"), system_copy);
}

}  // namespace
}  // namespace tessarin
