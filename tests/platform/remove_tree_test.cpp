#include "platform/remove_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_platform.h"

namespace tessarin {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

struct RemoveTree : ::testing::Test {
  fakes::EventLog log;
  fakes::FakeFileSystem files{log};

  void add_link(const std::string& path, const std::string& target, bool directory) {
    files.nodes[path] = fakes::FakeFileSystem::Node{directory, {}, target};
  }
  // The user's files, outside every grant.
  void add_outside() {
    files.add_file("C:\\Users\\u\\Documents\\thesis.docx", "precious");
    files.add_directory("C:\\Users\\u\\Documents\\photos");
    files.add_file("C:\\Users\\u\\Documents\\photos\\1.jpg", "jpeg");
  }
  void expect_outside_intact() {
    EXPECT_EQ(files.content("C:\\Users\\u\\Documents\\thesis.docx"), "precious");
    EXPECT_EQ(files.content("C:\\Users\\u\\Documents\\photos\\1.jpg"), "jpeg");
    EXPECT_TRUE(files.has("C:\\Users\\u\\Documents\\photos"));
    EXPECT_THAT(log, Not(Contains(HasSubstr("Documents"))));
  }
};

TEST_F(RemoveTree, RemovesANestedTreeAndLeavesItsParent) {
  files.add_file("C:\\s\\tmp\\1\\a.txt");
  files.add_file("C:\\s\\tmp\\1\\sub\\deeper\\b.txt");
  files.add_directory("C:\\s\\tmp\\1\\empty");
  // Names reached only as listed: a lone surrogate has no UTF-8 form, and a
  // trailing dot or a device name would be altered by the usual path rules.
  files.add_directory("C:\\s\\tmp\\1\\dots.. ");
  files.add_file("C:\\s\\tmp\\1\\dots.. \\CON");
  files.add_file("C:\\s\\tmp\\1\\lone\xED\xA0\x80");
  ASSERT_TRUE(remove_tree(files, "C:\\s\\tmp\\1").ok());
  for (const auto& [path, node] : files.nodes) {
    EXPECT_THAT(path, Not(HasSubstr("C:\\s\\tmp\\1")));
  }
  EXPECT_TRUE(files.has("C:\\s\\tmp"));
}

TEST_F(RemoveTree, NothingThereIsSuccess) {
  EXPECT_TRUE(remove_tree(files, "C:\\s\\tmp\\1").ok());
  EXPECT_TRUE(log.empty());
}

TEST_F(RemoveTree, LinksInsideAreRemovedAsLinksAndTheirTargetsAreNeverEntered) {
  add_outside();
  files.add_directory("C:\\s\\tmp\\1\\sub");
  add_link("C:\\s\\tmp\\1\\junction", "C:\\Users\\u\\Documents", true);
  add_link("C:\\s\\tmp\\1\\sub\\file-link", "C:\\Users\\u\\Documents\\thesis.docx", false);
  add_link("C:\\s\\tmp\\1\\sub\\dangling", "C:\\nowhere", true);
  ASSERT_TRUE(remove_tree(files, "C:\\s\\tmp\\1").ok());
  EXPECT_FALSE(files.has("C:\\s\\tmp\\1"));
  EXPECT_THAT(log, Contains("fs remove_directory C:\\s\\tmp\\1\\junction"));
  EXPECT_THAT(log, Contains("fs remove_file C:\\s\\tmp\\1\\sub\\file-link"));
  EXPECT_THAT(log, Not(Contains("fs list C:\\s\\tmp\\1\\junction")));
  expect_outside_intact();
}

TEST_F(RemoveTree, ALinkStandingAtThePathItselfIsRemovedAsALink) {
  add_outside();
  files.add_directory("C:\\s\\tmp");
  add_link("C:\\s\\tmp\\1", "C:\\Users\\u\\Documents", true);
  ASSERT_TRUE(remove_tree(files, "C:\\s\\tmp\\1").ok());
  EXPECT_FALSE(files.has("C:\\s\\tmp\\1"));
  EXPECT_THAT(log, Not(Contains(HasSubstr("fs list"))));
  expect_outside_intact();
}

TEST_F(RemoveTree, AFileStandingAtThePathIsRemoved) {
  files.add_file("C:\\s\\tmp\\1", "left over");
  ASSERT_TRUE(remove_tree(files, "C:\\s\\tmp\\1").ok());
  EXPECT_FALSE(files.has("C:\\s\\tmp\\1"));
}

TEST_F(RemoveTree, TheFirstFailureEndsTheWalkWithItsError) {
  files.add_file("C:\\s\\tmp\\1\\a.txt");
  files.add_file("C:\\s\\tmp\\1\\b.txt");
  files.fail("remove_file", "C:\\s\\tmp\\1\\a.txt", 32);
  const auto removed = remove_tree(files, "C:\\s\\tmp\\1");
  ASSERT_FALSE(removed.ok());
  EXPECT_EQ(removed.error().code, 32u);
  EXPECT_TRUE(files.has("C:\\s\\tmp\\1\\a.txt"));

  files.add_directory("C:\\s\\tmp\\2\\locked");
  files.fail("list_directory", "C:\\s\\tmp\\2\\locked", 5);
  const auto unlisted = remove_tree(files, "C:\\s\\tmp\\2");
  ASSERT_FALSE(unlisted.ok());
  EXPECT_EQ(unlisted.error().code, 5u);
  EXPECT_TRUE(files.has("C:\\s\\tmp\\2"));
}

}  // namespace
}  // namespace tessarin
