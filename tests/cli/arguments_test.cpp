#include "cli/arguments.h"

#include <sstream>

#include <gtest/gtest.h>

namespace tessarin {
namespace {

std::vector<std::string> full(std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"--workspace", "W",         "--cwd",        "C",
                                   "--preset",    "read_only", "--parent-pid", "7"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// The words of a line, split at white space, so none is empty.
std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

std::string error_of(const std::vector<std::string>& args) {
  auto r = parse_run_arguments(args);
  return r ? std::string("<ok>") : r.error();
}

TEST(RunArguments, BuildsTheRequestInOrder) {
  auto r = parse_run_arguments(
      words("--writable-root a --readable-root --writable-root --network --workspace W1 --cwd C "
            "--workspace W2 --preset p --writable-root b --readable-root r --parent-pid +42 -- "
            "cmd --cwd x --"));
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->workspace, "W2");  // the last one wins, silently
  EXPECT_EQ(r->cwd, "C");
  EXPECT_EQ(r->preset, "p");  // any text passes the front end
  EXPECT_EQ(r->writable_roots, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(r->readable_roots, (std::vector<std::string>{"--writable-root", "r"}));
  EXPECT_EQ(r->parent_pid, 42u);
  EXPECT_TRUE(r->network);
  EXPECT_EQ(r->command, (std::vector<std::string>{"cmd", "--cwd", "x", "--"}));
}

TEST(RunArguments, OptionValuesAreTakenWhateverTheyLookLike) {
  auto r = parse_run_arguments(full({"--cwd", "--network", "--", "x"}));
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->cwd, "--network");
  EXPECT_FALSE(r->network);
  auto empty = parse_run_arguments(full({"--cwd", "", "--", "x"}));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->cwd, "");
}

TEST(RunArguments, ReportsTheFirstErrorOfTheScan) {
  EXPECT_EQ(error_of({}), "missing --workspace");
  EXPECT_EQ(error_of({"-x", "--cwd"}), "unknown argument: -x");
  EXPECT_EQ(error_of({"--workspace", "W", "--cwd"}), "missing value after --cwd");
  EXPECT_EQ(error_of(full({"--readable-root"})), "missing value after --readable-root");
  EXPECT_EQ(error_of({"--cwd=C"}), "unknown argument: --cwd=C");
  EXPECT_EQ(error_of({"--CWD", "C"}), "unknown argument: --CWD");
  EXPECT_EQ(error_of({"bare"}), "unknown argument: bare");
  EXPECT_EQ(error_of({"--", "cmd", "--cwd", "dir"}), "missing --workspace");
}

TEST(RunArguments, ChecksRequiredPartsInFixedOrder) {
  EXPECT_EQ(error_of({"--parent-pid", "1", "--preset", "p", "--cwd", "c", "--", "x"}),
            "missing --workspace");
  EXPECT_EQ(error_of({"--workspace", "w", "--preset", "p", "--parent-pid", "1"}), "missing --cwd");
  EXPECT_EQ(error_of({"--workspace", "w", "--cwd", "c", "--parent-pid", "1"}), "missing --preset");
  EXPECT_EQ(error_of({"--workspace", "w", "--cwd", "c", "--preset", "p"}), "missing --parent-pid");
  EXPECT_EQ(error_of(full()), "missing command after --");
  EXPECT_EQ(error_of(full({"--"})), "missing command after --");
}

TEST(RunArguments, ParentPidParsing) {
  EXPECT_EQ(parse_parent_pid("+42"), 42u);
  EXPECT_EQ(parse_parent_pid("007"), 7u);
  EXPECT_EQ(parse_parent_pid("4294967295"), 4294967295u);
  EXPECT_EQ(parse_parent_pid("0000000000004294967295"), 4294967295u);
  EXPECT_EQ(parse_parent_pid("0"), 0u);
  for (const char* bad : {"4294967296", "99999999999999999999", "-1", " 1", "1 ", "", "+", "-",
                          "++1", "1x", "0x10"}) {
    EXPECT_FALSE(parse_parent_pid(bad)) << bad;
    EXPECT_EQ(error_of({"--parent-pid", bad}), std::string("invalid --parent-pid: ") + bad);
  }
}

}  // namespace
}  // namespace tessarin
