#include "platform/tool_search.h"

#include <gtest/gtest.h>

#include "fakes/fake_platform.h"

namespace tessarin {
namespace {

TEST(ToolSearch, OwnDirectoryFirstThenSystemThenWindowsThenAbsolutePathEntries) {
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
}

}  // namespace
}  // namespace tessarin
