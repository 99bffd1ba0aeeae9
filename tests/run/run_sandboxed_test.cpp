#include "run/run_sandboxed.h"

#include <algorithm>
#include <functional>
#include <set>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "acl/lease.h"
#include "base/path.h"
#include "fakes/fake_platform.h"
#include "fakes/names.h"
#include "provision/setup_marker.h"

namespace tessarin {
namespace {

using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::StartsWith;

using namespace fakes;  // the names

const std::string& kState = kStateDir;
const std::string kTemp = kState + "\\tmp\\4242";
const std::string kWork = "\\\\?\\C:\\work";
const std::string kData = "\\\\?\\C:\\data";
const std::string kAc = container_of(kWwOff);

std::string lock_of(const std::string& profile) {
  return "Local\\Tessarin.Sandbox.Profile." + profile;
}
std::string lock_file_of(const std::string& profile) {
  return kLeases + "\\" + profile + ".lock";
}
std::string sid_of(const std::string& profile) {
  return fakes::FakeAppContainerApi::sid_text_for(profile);
}
std::string grant(const std::string& path, const std::string& profile, const char* level) {
  return "tool icacls.exe " + path + " /grant *" + sid_of(profile) + ":(OI)(CI)" + level +
         " /T /C /Q";
}
std::string revoke(const std::string& path, const std::string& profile) {
  return "tool icacls.exe " + path + " /remove:g *" + sid_of(profile) + " /T /C /Q";
}

// A machine on which setup completed, with a few directories.
struct Machine : fakes::FakePlatform {
  std::function<SysResult<CapturedRun>(const fakes::FakeToolRunner::Run&)> on_icacls;
  std::function<void()> after_readiness;

  Machine() {
    app_containers.registered = {kRoOff, kRoOn, kWwOff, kWwOn};
    files.add_file(kMarker, serialize_setup_marker(SetupMarker{1, {kRoOff, kWwOff}}));
    for (const char* d : {"C:\\work", "C:\\work\\sub", "C:\\work2", "C:\\data", "C:\\WORK"}) {
      directory(d);
    }
    files.add_file(env.exe_dir + "\\tessarin-sandbox.exe");
    tools.on_run = [this](const fakes::FakeToolRunner::Run& run) -> SysResult<CapturedRun> {
      if (run.name == "powershell.exe" && after_readiness) after_readiness();
      if (run.name == "icacls.exe" && on_icacls) return on_icacls(run);
      return CapturedRun{};
    };
    processes.child_exit_code = 3;
  }
  // A directory under its plain name and under the canonical name the fake
  // file system gives it.
  void directory(const std::string& path) {
    files.add_directory(path);
    files.add_directory("\\\\?\\" + path);
  }
  RunRequest request() const {
    RunRequest r;
    r.command = {"tool.exe", "arg"};
    r.cwd = "C:\\work\\sub";
    r.workspace = "C:\\work";
    r.preset = "workspace_write";
    r.parent_pid = 77;
    return r;
  }
  Result<std::uint32_t> run(RunRequest r) { return run_sandboxed(platform, std::move(r)); }
  Result<std::uint32_t> run() { return run(request()); }

  std::vector<std::string> icacls() const { return events("tool icacls.exe"); }
  // The events, each found after the one before it (by prefix).
  void expect_in_order(const std::vector<std::string>& expected) const {
    auto from = log.begin();
    for (const auto& event : expected) {
      from = std::find_if(from, log.end(),
                          [&](const std::string& e) { return e.rfind(event, 0) == 0; });
      ASSERT_NE(from, log.end()) << "missing, or out of order: " << event;
      ++from;
    }
  }
  bool logged(const std::string& prefix) const { return !events(prefix).empty(); }
  // FreeSid, the console handler and the caller, then the lock file and the
  // mutex as the very last events; and nothing left open.
  void expect_released_last(const std::string& profile, bool with_sid = true) const {
    std::vector<std::string> tail;
    if (with_sid) tail.push_back("FreeSid " + sid_of(profile));
    for (const std::string& event :
         {std::string("console unguard"), std::string("process close parent"),
          "lock unlock " + lock_file_of(profile), "lock release " + lock_of(profile),
          "lock close " + lock_of(profile)}) {
      tail.push_back(event);
    }
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(
        std::vector<std::string>(log.end() - static_cast<std::ptrdiff_t>(tail.size()), log.end()),
        tail);
    expect_nothing_held();
  }
  void expect_nothing_held() const {
    EXPECT_EQ(locks.open_handles, 0);
    EXPECT_EQ(app_containers.live_sids(), 0u);
    EXPECT_EQ(app_containers.wrong_release_calls, 0);
    EXPECT_EQ(launcher.live_objects + console_events.live_objects, 0);
    EXPECT_EQ(processes.live_objects, 0);
  }
};

CapturedRun exit_with(std::uint32_t code, std::string standard_error = {}) {
  return CapturedRun{code, std::move(standard_error)};
}

TEST(RunSandboxed, GoesThroughEveryStepInOrderAndLeavesNothingBehind) {
  Machine m;
  const auto outcome = m.run();
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  EXPECT_EQ(*outcome, 3u);
  m.expect_in_order({"tool powershell.exe",
                     "fs canonicalize C:\\work\\sub",
                     "fs canonicalize C:\\work",
                     "process open 77",
                     "process creation_time parent",
                     "lock create " + lock_of(kWwOff),
                     "lock wait " + lock_of(kWwOff) + " or parent",
                     "lock file " + lock_file_of(kWwOff),
                     "console guard",
                     "profile derive " + kWwOff,
                     "process wait parent 0",
                     "profile folder " + sid_of(kWwOff),
                     "fs create_directories " + kAc + "\\Temp",
                     "fs replace " + kLeases + "\\" + kWwOff + ".tmp-4242",
                     "fs create_directories " + kTemp,
                     grant(kWork, kWwOff, "M"),
                     grant(kTemp, kWwOff, "M"),
                     "process wait parent 0",
                     "env set TEMP=" + kTemp,
                     "env set TMP=" + kTemp,
                     "launch start tool.exe arg",
                     "process wait_either process parent",
                     "launch end_job job",
                     "launch close job",
                     "profile folder " + sid_of(kWwOff),
                     "fs list " + kAc,
                     revoke(kWork, kWwOff),
                     revoke(kTemp, kWwOff),
                     "fs remove_directory " + kTemp,
                     "fs remove_file " + lease_of(kWwOff)});
  m.expect_released_last(kWwOff);
  EXPECT_EQ(m.icacls().size(), 4u);
  EXPECT_EQ(m.events("tool powershell.exe").size(), 1u);
  // Every grant ends with the caller, and no revocation does: a caller gone
  // must not leave entries behind. The readiness check comes before either.
  for (const auto& run : m.tools.runs) {
    EXPECT_EQ(run.ends_with_caller, run.name == "icacls.exe" && run.arguments[1] == "/grant");
  }
  EXPECT_FALSE(m.logged("process sleep"));
  EXPECT_FALSE(m.files.has(lease_of(kWwOff)));
  EXPECT_FALSE(m.files.has(kTemp));
  // The child starts in the directory as typed, not in its canonical form.
  ASSERT_EQ(m.launcher.created.size(), 1u);
  EXPECT_EQ(m.launcher.created[0].current_directory, "C:\\work\\sub");
  EXPECT_THAT(m.launcher.created[0].capabilities, ElementsAre(sid_of(kWwOff)));
}

TEST(RunSandboxed, ValidationFailuresTouchNoLockLeaseOrTool) {
  struct Case {
    const char* name;
    std::function<void(Machine&, RunRequest&)> change;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"not ready", [](Machine& m, RunRequest&) { m.files.nodes.erase(kMarker); },
       "administrator initialization is required"},
      {"cwd first",
       [](Machine&, RunRequest& r) {
         r.cwd = "C:\\gone";
         r.workspace = "C:\\also-gone";
       },
       "invalid cwd: fake error 2 (os error 2)"},
      {"workspace", [](Machine&, RunRequest& r) { r.workspace = "C:\\gone"; },
       "invalid workspace: fake error 2 (os error 2)"},
      {"beside", [](Machine&, RunRequest& r) { r.cwd = "C:\\work2"; },
       "cwd is outside the configured workspace"},
      {"above", [](Machine&, RunRequest& r) { r.workspace = "C:\\work\\sub", r.cwd = "C:\\work"; },
       "cwd is outside the configured workspace"},
      {"spelling", [](Machine&, RunRequest& r) { r.cwd = "C:\\WORK"; },
       "cwd is outside the configured workspace"},
      {"pid 0", [](Machine&, RunRequest& r) { r.parent_pid = 0; },
       "invalid parent process identifier"},
      {"preset case", [](Machine&, RunRequest& r) { r.preset = "Read_Only"; },
       "unsupported Windows sandbox preset: Read_Only"},
      {"preset hyphen", [](Machine&, RunRequest& r) { r.preset = "read-only"; },
       "unsupported Windows sandbox preset: read-only"},
      {"workspace holds the state",
       [](Machine& m, RunRequest& r) {
         m.directory("C:\\Users\\u");
         r.workspace = r.cwd = "C:\\Users\\u";
       },
       "workspace \\\\?\\C:\\Users\\u overlaps the sandbox state directory \\\\?\\" + kState},
      {"read-only workspace in the state",
       [](Machine& m, RunRequest& r) {
         m.files.add_directory(kState + "\\tmp\\99");
         r.workspace = r.cwd = kState + "\\tmp\\99";
         r.preset = "read_only";
       },
       "workspace \\\\?\\" + kState + "\\tmp\\99 overlaps the sandbox state directory \\\\?\\" +
           kState},
      {"workspace is the helper's",
       [](Machine& m, RunRequest& r) { r.workspace = r.cwd = m.env.exe_dir; },
       "workspace \\\\?\\C:\\tools\\tessarin covers the helper's own directory "
       "\\\\?\\C:\\tools\\tessarin"},
      {"helper's directory unknown", [](Machine& m, RunRequest&) { m.env.exe_dir = "C:\\gone"; },
       "invalid helper directory C:\\gone: fake error 2 (os error 2)"},
  };
  for (const Case& c : cases) {
    Machine m;
    RunRequest r = m.request();
    c.change(m, r);
    const auto outcome = m.run(std::move(r));
    ASSERT_FALSE(outcome.ok()) << c.name;
    EXPECT_EQ(outcome.error(), c.message) << c.name;
    EXPECT_FALSE(m.logged("lock")) << c.name;
    EXPECT_FALSE(m.logged("launch")) << c.name;
    EXPECT_TRUE(m.icacls().empty()) << c.name;
    EXPECT_FALSE(m.logged("fs write")) << c.name;
    EXPECT_THAT(m.log, Not(Contains("fs canonicalize C:\\also-gone"))) << c.name;
    m.expect_nothing_held();
  }
}

TEST(RunSandboxed, ContainmentComparesWholeComponents) {
  struct Case {
    std::string cwd, workspace;
    const char* preset = "workspace_write";
  };
  for (const Case& c : std::vector<Case>{{"C:\\work", "C:\\work"},
                                         {"C:\\work\\sub", "C:\\work"},
                                         {"D:\\work", "D:\\"},
                                         // Reading the helper's own executable is harmless.
                                         {"C:\\tools\\tessarin", "C:\\tools", "read_only"}}) {
    Machine m;
    m.directory("D:\\work");
    RunRequest r = m.request();
    r.cwd = c.cwd;
    r.workspace = c.workspace;
    r.preset = c.preset;
    const auto outcome = m.run(std::move(r));
    EXPECT_TRUE(outcome.ok()) << c.cwd << " in " << c.workspace << ": " << outcome.error();
  }
}

TEST(RunSandboxed, TheCallerAndTheLocksStopTheRunBeforeAnyGrantOrStart) {
  const std::string gone = "parent process exited; terminated the sandbox process tree";
  struct Case {
    const char* name;
    std::function<void(Machine&)> change;
    std::string message;  // empty: the run goes ahead
    const char* last;     // the last event; "release": the full release of a run
    bool mutex_taken = false;
  };
  const std::vector<Case> cases = {
      {"no caller", [](Machine& m) { m.processes.failures["open"] = 87; },
       "open parent process failed: 87", "process open 77"},
      {"caller younger than the helper",
       [](Machine& m) { m.processes.parent_creation_time = m.processes.own_creation_time + 1; },
       gone, "process close parent"},
      {"create mutex", [](Machine& m) { m.locks.create_error = 1450; }, "CreateMutexW failed: 1450",
       "process close parent"},
      {"caller ends while queued", [](Machine& m) { m.locks.caller_ends_first = true; }, gone,
       "process close parent"},
      {"wait failed", [](Machine& m) { m.locks.acquire_error = 6; },
       "wait for sandbox profile lock failed: 4294967295", "process close parent"},
      {"abandoned", [](Machine& m) { m.locks.abandoned = true; }, "", "release"},
      {"lock directory", [](Machine& m) { m.files.fail("create_directories", kLeases, 5); },
       "open sandbox profile lock file: fake error 5 (os error 5)", "process close parent", true},
      {"lock file", [](Machine& m) { m.locks.file_lock_error = 5; },
       "open sandbox profile lock file: fake error 5 (os error 5)", "process close parent", true},
      {"other session, then free", [](Machine& m) { m.locks.held_elsewhere = 2; }, "", "release"},
      {"other session, caller ends",
       [](Machine& m) {
         m.locks.held_elsewhere = 2;
         m.processes.timed_wait_results = {Woke::TimedOut, Woke::First};
       },
       gone, "process close parent", true},
      {"other session, wait fails",
       [](Machine& m) {
         m.locks.held_elsewhere = 1;
         m.processes.failures["wait"] = 6;
       },
       "wait for sandbox profile lock failed: 4294967295", "process close parent", true},
      // What a dead run left is revoked, and nothing of this run granted.
      {"caller ends during recovery",
       [](Machine& m) {
         m.files.add_file(lease_of(kWwOff), encode_acl_lease({kData}));
         m.processes.timed_wait_results = {Woke::First};
       },
       gone, "before the lease"},
      {"Ctrl+C during recovery",
       [](Machine& m) { m.console_events.looks = {ConsoleEvents::Event::Interrupted}; },
       "interrupted before the sandbox process started", "before the lease"},
      // Granted, then everything revoked, and no child created.
      {"caller ends during the grants",
       [](Machine& m) {
         m.processes.timed_wait_results = {Woke::TimedOut, Woke::First};
       },
       gone, "release"},
  };
  for (const Case& c : cases) {
    Machine m;
    c.change(m);
    const auto held = static_cast<std::size_t>(m.locks.held_elsewhere);
    const auto outcome = m.run();
    // Between two looks at a lock file another session holds, the caller is
    // watched.
    EXPECT_EQ(m.events("process wait parent 100").size(), held) << c.name;
    if (c.message.empty()) {
      EXPECT_EQ(outcome.value(), 3u) << c.name;
    } else {
      ASSERT_FALSE(outcome.ok()) << c.name;
      EXPECT_EQ(outcome.error(), c.message) << c.name;
    }
    if (std::string_view(c.last) == "before the lease") {
      EXPECT_THAT(m.icacls(), Each(Not(HasSubstr("/grant")))) << c.name;
      EXPECT_FALSE(m.logged("fs replace")) << c.name;
      m.expect_released_last(kWwOff);
    } else if (std::string_view(c.last) == "release") {
      EXPECT_EQ(m.logged("launch start"), c.message.empty()) << c.name;
      EXPECT_THAT(m.icacls(), IsSupersetOf({revoke(kWork, kWwOff), revoke(kTemp, kWwOff)}))
          << c.name;
      EXPECT_FALSE(m.files.has(lease_of(kWwOff))) << c.name;
      m.expect_released_last(kWwOff);
    } else {
      EXPECT_TRUE(m.icacls().empty()) << c.name;
      EXPECT_FALSE(m.logged("fs replace")) << c.name;
      EXPECT_EQ(m.log.back(), c.last) << c.name;
      // A mutex this run never got is never released.
      EXPECT_EQ(m.logged("lock release"), c.mutex_taken) << c.name;
      m.expect_nothing_held();
    }
  }
}

TEST(RunSandboxed, EachStepUnderTheLockFailsWithItsMessageAndReleasesInOrder) {
  struct Case {
    const char* name;
    std::function<void(Machine&, RunRequest&)> change;
    std::string message;  // a prefix
    bool sid_held;
  };
  const std::string lease_temporary = kLeases + "\\" + kWwOff + ".tmp-4242";
  const std::vector<Case> cases = {
      {"derive",
       [](Machine& m, RunRequest&) {
         m.after_readiness = [&m] { m.app_containers.derive_results[kWwOff] = 0x80070005u; };
       },
       "DeriveAppContainerSidFromAppContainerName(" + kWwOff + ") failed: 0x80070005", false},
      {"sid text",
       [](Machine& m, RunRequest&) {
         m.after_readiness = [&m] { m.app_containers.sid_to_string_error = 8; };
       },
       "ConvertSidToStringSidW failed: 8", true},
      {"stale lease", [](Machine& m, RunRequest&) { m.files.add_file(lease_of(kWwOff), "[1]"); },
       "parse ACL lease: ", true},
      {"writable root",
       [](Machine&, RunRequest& r) {
         r.writable_roots = {"C:\\data", "C:\\nope"};
       },
       "invalid writable root C:\\nope: fake error 2 (os error 2)", true},
      {"writable root holds the state",
       [](Machine& m, RunRequest& r) {
         m.files.add_directory("C:\\Users\\u\\AppData");
         r.writable_roots = {"C:\\data", "C:\\Users\\u\\AppData"};
       },
       "writable root \\\\?\\C:\\Users\\u\\AppData overlaps the sandbox state directory \\\\?\\" +
           kState,
       true},
      {"writable root is the helper's",
       [](Machine& m, RunRequest& r) { r.writable_roots = {m.env.exe_dir}; },
       "writable root \\\\?\\C:\\tools\\tessarin covers the helper's own directory", true},
      {"readable root", [](Machine&, RunRequest& r) { r.readable_roots = {"C:\\nope"}; },
       "invalid readable root C:\\nope: fake error 2 (os error 2)", true},
      {"readable root is the state", [](Machine&, RunRequest& r) { r.readable_roots = {kState}; },
       "readable root \\\\?\\" + kState + " overlaps the sandbox state directory", true},
      {"writable root is the helper's exe",
       [](Machine& m, RunRequest& r) {
         r.writable_roots = {m.env.exe_dir + "\\tessarin-sandbox.exe"};
       },
       "writable root \\\\?\\C:\\tools\\tessarin\\tessarin-sandbox.exe lies in the helper's own "
       "directory \\\\?\\C:\\tools\\tessarin",
       true},
      {"reset temp",
       [](Machine& m, RunRequest&) {
         m.files.add_file(kTemp + "\\left-over");
         m.files.fail("remove_file", kTemp + "\\left-over", 32);
       },
       "reset sandbox temp: fake error 32 (os error 32)", true},
      {"container folder unknown",
       [](Machine& m, RunRequest&) {
         m.after_readiness = [&m] { m.app_containers.registered.erase(kWwOff); };
       },
       "find sandbox container folder: fake HRESULT 80070002", true},
      // What can be neither removed nor moved aside stops the run before
      // anything is written or granted.
      {"container folder stuck",
       [](Machine& m, RunRequest&) {
         m.files.add_file(kAc + "\\cache\\f");
         m.files.fail("remove_file", kAc + "\\cache\\f", 5);
         m.files.fail("move_entry", kAc + "\\cache", 5);
       },
       "empty sandbox container folder " + kAc + "\\cache: fake error 5 (os error 5)", true},
      {"create temp", [](Machine& m, RunRequest&) { m.files.fail("create_directories", kTemp, 5); },
       "create sandbox temp: fake error 5 (os error 5)", true},
      {"lease write",
       [&](Machine& m, RunRequest&) { m.files.fail("write_file", lease_temporary, 112); },
       "write ACL lease: fake error 112 (os error 112)", true},
      {"lease commit",
       [&](Machine& m, RunRequest&) { m.files.fail("replace", lease_temporary, 5); },
       "commit ACL lease: fake error 5 (os error 5)", true},
  };
  for (const Case& c : cases) {
    Machine m;
    RunRequest r = m.request();
    c.change(m, r);
    const auto outcome = m.run(std::move(r));
    ASSERT_FALSE(outcome.ok()) << c.name;
    EXPECT_THAT(outcome.error(), StartsWith(c.message)) << c.name;
    EXPECT_TRUE(m.icacls().empty()) << c.name;
    EXPECT_FALSE(m.logged("launch start")) << c.name;
    EXPECT_FALSE(m.logged("env set")) << c.name;
    // The lease comes before the directory, and goes again when the
    // directory cannot be made: a failed run leaves neither behind.
    const std::string name = c.name;
    if (name.starts_with("lease ") || name == "create temp") {
      EXPECT_FALSE(m.files.has(kTemp)) << c.name;
    }
    if (name.ends_with(" temp") || name.starts_with("container")) {
      EXPECT_FALSE(m.files.has(lease_of(kWwOff))) << c.name;
    }
    m.expect_released_last(kWwOff, c.sid_held);
  }
}

// A grant given with /T follows links. A link in the paths a run grants that
// leads where the run does not grant as widely already stops the run before
// any grant, with nothing written.
TEST(RunSandboxed, ALinkToWhatTheRunDoesNotGrantAsWidelyStopsItBeforeAnything) {
  const std::string docs = "C:\\Users\\u\\Documents";
  const auto to = [](const std::string& link, const std::string& target, bool writes = true) {
    return "a grant would follow link " + link + " to " + target + "; remove the link, or" +
           (writes ? ", if the command only reads through it, grant it read-only (run read_only, "
                     "or name its root with --readable-root) and name its target as a read-only "
                     "root; name the target as a writable root only if the command must write "
                     "there"
                   : " name its target as a read-only root (--readable-root) if the command only "
                     "reads it, or as a writable root only if it must write there");
  };
  const auto dangling = [](const std::string& link, const std::string& target) {
    return "link " + link + " leads to " + target +
           ", which cannot be opened: fake error 2 (os error 2); remove the link, or create its "
           "target";
  };
  const std::string copies =
      "; if the command only reads it, grant it read-only (run read_only, or name its root with "
      "--readable-root); otherwise install the packages as copies, or name the store as a "
      "writable root only if the command must write there";
  const std::string share = kWork + "\\sub\\share";
  const auto off_volume = [&](const std::string& recorded) {
    return "link " + share + " leads to " + recorded +
           ", which is on no local volume; remove the link";
  };
  const auto other_name = [&](const std::string& file, const std::string& name) {
    return "a write grant on " + file + " would reach its other name " + name + copies;
  };
  struct Case {
    const char* name;
    std::string link;
    std::string target;   // as the link records it; none: a file that may have other names
    std::string message;  // empty: the run goes ahead
    const char* preset = "workspace_write";
    const char* root = "C:\\data";
    std::function<void(Machine&)> also = [](Machine&) {};
  };
  const std::string key = kWork + "\\sub\\deep\\key", tools = "\\\\?\\C:\\tools";
  const std::string lib = kWork + "\\node_modules\\lib.js";
  const auto stored = [&](std::string name) {
    return [=](Machine& m) { m.files.nodes[lib].other_names = {name}; };
  };
  const std::vector<Case> cases = {
      {"junction out", kWork + "\\node_modules\\lib", docs,
       to(kWork + "\\node_modules\\lib", "\\\\?\\" + docs)},
      {"directory link out, dangling", kWork + "\\sub\\cache", "C:\\gone\\cache",
       dangling(kWork + "\\sub\\cache", "\\\\?\\C:\\gone\\cache")},
      {"file link out", key, docs + "\\thesis.docx", to(key, "\\\\?\\" + docs + "\\thesis.docx"),
       "workspace_write", "C:\\data", [&](Machine& m) { m.files.nodes[key].directory = false; }},
      {"relative link in, dangling", kWork + "\\sub\\next", "..\\later",
       dangling(kWork + "\\sub\\next", "..\\later")},
      {"junction out, within a cloud placeholder", kWork + "\\cloud\\lib", docs,
       to(kWork + "\\cloud\\lib", "\\\\?\\" + docs), "workspace_write", "C:\\data",
       [](Machine& m) { m.files.nodes[kWork + "\\cloud"].other_reparse_point = true; }},
      {"writable root into the read-only workspace", kData + "\\ws", "C:\\work\\sub",
       to(kData + "\\ws", kWork + "\\sub"), "read_only"},
      {"read-only workspace out", kWork + "\\lib", docs,
       to(kWork + "\\lib", "\\\\?\\" + docs, false), "read_only"},
      {"link to its own ancestor", kWork + "\\sub\\back", "C:\\work",
       "link " + kWork + "\\sub\\back leads back to " + kWork +
           ", which holds it; remove the link"},
      {"two links into each other", kData + "\\ws", "C:\\work\\sub",
       "link " + kWork + "\\sub\\data leads to link " + kData +
           "\\ws, which leads back to it; "
           "remove one of them",
       "workspace_write", "C:\\data",
       [](Machine& m) {
         m.files.nodes[kWork + "\\sub\\data"] = {true, {}, "C:\\data"};
       }},
      {"a share, never opened", share, "\\\\host\\s\\x", off_volume("\\\\host\\s\\x")},
      {"a relative link to a link to a share, never opened", kWork + "\\sub\\hop", "share",
       off_volume("\\\\host\\s\\x"), "workspace_write", "C:\\data",
       [&](Machine& m) {
         m.files.nodes[share] = {true, {}, "\\\\host\\s\\x"};
       }},
      {"a directory swapped for a link once its parent was listed", kWork + "\\sub\\deep\\in",
       "C:\\data",
       "look for links in " + kWork + "\\sub\\deep: it has become a link; run the command again",
       "workspace_write", "C:\\data",
       [&](Machine& m) {
         m.files.after_list = [&m, docs](const std::string& listed) {
           if (listed == kWork + "\\sub") m.files.nodes[kWork + "\\sub\\deep"].link_target = docs;
         };
       }},
      {"a writable root within the workspace, walked with it", kWork + "\\node_modules\\in",
       "C:\\work\\sub", "", "workspace_write", "C:\\work\\sub"},
      {"a link only WSL can follow", kWork + "\\sub\\wsl", "wsl:/home",
       "link " + kWork +
           "\\sub\\wsl is a WSL symbolic link, which Windows cannot follow; remove it, or make "
           "it again from Windows"},
      {"a cloud folder whose provider is not running", kWork + "\\sub\\cloud\\in", "C:\\data",
       "look for links in " + kWork +
           "\\sub\\cloud: fake error 362 (os error 362); the folder's cloud provider is not "
           "running: start it, or keep the folder on this device",
       "workspace_write", "C:\\data",
       [](Machine& m) {
         m.files.fail("list_directory", kWork + "\\sub\\cloud", 362,
                      ErrorKind::kCloudProviderOffline);
       }},
      {"a mapped network drive, never opened", share, "N:\\s\\x", off_volume("\\\\?\\N:\\s\\x")},
      {"target unreadable", kWork + "\\sub\\odd", docs,
       "read the target of link " + kWork + "\\sub\\odd: fake error 5 (os error 5)",
       "workspace_write", "C:\\data",
       [](Machine& m) { m.files.fail("read_link", kWork + "\\sub\\odd", 5); }},
      {"directory unlistable", kWork + "\\sub\\locked\\in", "C:\\work",
       "look for links in " + kWork + "\\sub\\locked: fake error 5 (os error 5)", "workspace_write",
       "C:\\data", [](Machine& m) { m.files.fail("list_directory", kWork + "\\sub\\locked", 5); }},
      {"hard link out of the writable workspace", lib, "",
       other_name(lib, "\\\\?\\C:\\store\\lib.js"), "workspace_write", "C:\\data",
       stored("\\\\?\\C:\\store\\lib.js")},
      {"hard link whose names cannot be listed", lib, "",
       "a write grant on " + lib +
           " would reach other names of it, which cannot be listed: fake "
           "error 120 (os error 120)" +
           copies,
       "workspace_write", "C:\\data",
       [&](Machine& m) {
         stored(kData + "\\lib.js")(m);
         m.files.fail("file_names", lib, 120);
       }},
      {"hard link out, read only", lib, "", "", "read_only", "C:\\data",
       stored("\\\\?\\C:\\store\\lib.js")},
      {"hard link into the writable root", lib, "", "", "workspace_write", "C:\\data",
       stored(kData + "\\lib.js")},
      {"hard-linked file named as a writable root", kData + "\\lib.js", "",
       other_name(kData + "\\lib.js", "\\\\?\\C:\\store\\lib.js"), "read_only", "C:\\data\\lib.js",
       [](Machine& m) {
         m.files.add_file("C:\\data\\lib.js");
         m.files.nodes[kData + "\\lib.js"].other_names = {"\\\\?\\C:\\store\\lib.js"};
       }},
      {"junction to a sibling", kWork + "\\node_modules\\lib", "C:\\work\\sub", ""},
      {"read-only workspace into a writable root", kWork + "\\data", "C:\\data", "", "read_only"},
      {"writable root into the workspace it may write", kData + "\\ws", "C:\\work\\sub", ""},
      {"readable root out", tools + "\\py", docs, to(tools + "\\py", "\\\\?\\" + docs, false)},
      {"readable root into itself", tools + "\\py", "C:\\tools\\tessarin", ""},
      {"read-only workspace into a readable root", kWork + "\\py", "C:\\tools", "", "read_only"},
      {"writable root into a readable root", kData + "\\py", "C:\\tools",
       to(kData + "\\py", tools)},
  };
  for (const Case& c : cases) {
    Machine m;
    m.files.add_file(docs + "\\thesis.docx", "precious");
    m.directory("C:\\tools");  // holds the helper's own directory, which reading cannot harm
    if (const auto parent = parent_path(c.link)) m.files.add_directory(*parent);
    m.files.nodes[c.link] = {
        !c.target.empty(), {}, c.target.empty() ? std::nullopt : std::optional(c.target)};
    c.also(m);
    RunRequest r = m.request();
    r.preset = c.preset;
    r.writable_roots = {c.root};
    r.readable_roots = {"C:\\tools"};
    const auto outcome = m.run(std::move(r));
    const std::string& profile = std::string(c.preset) == "read_only" ? kRoOff : kWwOff;
    // A path within another granted at least as widely is walked with it,
    // each directory once.
    const auto listed = m.events("fs list " + kWork);
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()).size(), listed.size()) << c.name;
    // No link is opened while one that leads across the network is there.
    EXPECT_FALSE(c.message.find("on no local volume") != std::string::npos &&
                 m.logged("fs open_link_target"))
        << c.name;
    if (c.message.empty()) {
      EXPECT_EQ(outcome.value(), 3u) << c.name;
      continue;
    }
    ASSERT_FALSE(outcome.ok()) << c.name;
    EXPECT_EQ(outcome.error(), c.message) << c.name;
    EXPECT_THAT(m.events("tool"), ElementsAre(StartsWith("tool powershell.exe"))) << c.name;
    for (const char* written : {"fs write", "fs replace", "fs rename", "launch start"}) {
      EXPECT_FALSE(m.logged(written)) << c.name << ": " << written;
    }
    EXPECT_FALSE(m.files.has(kTemp)) << c.name;
    m.expect_released_last(profile);
  }
}

TEST(RunSandboxed, AFailedGrantIsUndoneAndReportedAlone) {
  Machine m;
  RunRequest r = m.request();
  r.writable_roots = {"C:\\data", "C:\\work2"};
  m.on_icacls = [](const fakes::FakeToolRunner::Run& run) -> SysResult<CapturedRun> {
    if (run.arguments[0] == kData && run.arguments[1] == "/grant")
      return exit_with(5, "denied\r\n");
    return CapturedRun{};
  };
  EXPECT_EQ(m.run(std::move(r)).error(), "workspace ACL grant failed for " + kData + ": denied");
  EXPECT_THAT(m.icacls(), ElementsAre(grant(kWork, kWwOff, "M"), grant(kData, kWwOff, "M"),
                                      revoke(kWork, kWwOff), revoke(kData, kWwOff),
                                      revoke("\\\\?\\C:\\work2", kWwOff), revoke(kTemp, kWwOff)));
  EXPECT_FALSE(m.logged("launch start"));
  EXPECT_FALSE(m.files.has(lease_of(kWwOff)));
  EXPECT_FALSE(m.files.has(kTemp));
  m.expect_released_last(kWwOff);
}

TEST(RunSandboxed, AFailedGrantWhoseUndoFailsKeepsTheLeaseButReportsOnlyTheGrant) {
  Machine m;
  m.on_icacls = [](const fakes::FakeToolRunner::Run& run) -> SysResult<CapturedRun> {
    if (run.arguments[0] == kWork) return exit_with(5, "no");
    return CapturedRun{};
  };
  EXPECT_EQ(m.run().error(), "workspace ACL grant failed for " + kWork + ": no");
  EXPECT_TRUE(m.files.has(lease_of(kWwOff)));
  m.expect_released_last(kWwOff);
}

TEST(RunSandboxed, LaunchAndRevocationOutcomesCombine) {
  const auto failing_revocation =
      [](const fakes::FakeToolRunner::Run& run) -> SysResult<CapturedRun> {
    if (run.arguments[1] == "/remove:g" && run.arguments[0] == kWork) return exit_with(1, "busy\n");
    return CapturedRun{};
  };
  const std::string cleanup = "workspace ACL cleanup failed for " + kWork + ": busy";
  {
    Machine m;
    m.processes.child_exit_code = 0;
    m.on_icacls = failing_revocation;
    EXPECT_EQ(m.run().error(), cleanup);
    // The lease stays for the next run; the temporary directory goes.
    EXPECT_EQ(decode_acl_lease(m.files.content(lease_of(kWwOff))).value(),
              (std::vector<std::string>{kWork, kTemp}));
    EXPECT_FALSE(m.files.has(kTemp));
    m.expect_released_last(kWwOff);
  }
  {
    // A temporary directory that cannot be revoked is removed instead, what
    // cannot be removed moved aside: it no longer holds the lease.
    Machine m;
    m.on_icacls = [&](const fakes::FakeToolRunner::Run& run) -> SysResult<CapturedRun> {
      if (run.arguments[1] == "/grant" || run.arguments[0] != kTemp) return CapturedRun{};
      m.files.add_file(kTemp + "\\locked\\f");
      m.files.fail("remove_file", kTemp + "\\locked\\f", 5);
      return exit_with(5, "denied");
    };
    EXPECT_EQ(m.run().value(), 3u);
    EXPECT_TRUE(m.files.has(kState + "\\stale\\aside1\\locked\\f"));
    EXPECT_FALSE(m.files.has(lease_of(kWwOff)));
  }
  {
    Machine m;
    m.launcher.failing_step = LaunchStep::kCreateProcess;
    EXPECT_EQ(m.run().error(), "CreateProcessW in AppContainer failed: 5");
    EXPECT_FALSE(m.files.has(lease_of(kWwOff)));
    m.expect_released_last(kWwOff);
  }
  {
    Machine m;
    m.launcher.failing_step = LaunchStep::kCreateProcess;
    m.on_icacls = failing_revocation;
    EXPECT_EQ(m.run().error(), "CreateProcessW in AppContainer failed: 5; " + cleanup);
    EXPECT_TRUE(m.files.has(lease_of(kWwOff)));
    m.expect_released_last(kWwOff);
  }
}

TEST(RunSandboxed, TheLeaseNamesEachDirectoryOnceWhileEveryRootIsGranted) {
  Machine m;
  m.directory("C:\\alias-of-work");
  m.files.canonical["C:\\alias-of-work"] = kWork;
  RunRequest r = m.request();
  r.preset = "read_only";
  r.writable_roots = {"C:\\alias-of-work", "C:\\data", "C:\\data", "C:\\work\\sub"};
  r.readable_roots = {"C:\\data", "C:\\work2"};
  std::string lease_at_first_grant;
  m.on_icacls = [&](const fakes::FakeToolRunner::Run&) -> SysResult<CapturedRun> {
    if (lease_at_first_grant.empty()) lease_at_first_grant = m.files.content(lease_of(kRoOff));
    return CapturedRun{};
  };
  ASSERT_TRUE(m.run(std::move(r)).ok());
  const std::string sub = "\\\\?\\C:\\work\\sub", work2 = "\\\\?\\C:\\work2";
  EXPECT_EQ(lease_at_first_grant, encode_acl_lease({kWork, kData, sub, work2, kTemp}));
  EXPECT_THAT(
      m.icacls(),
      ElementsAre(grant(kWork, kRoOff, "RX"), grant(kWork, kRoOff, "M"), grant(kData, kRoOff, "M"),
                  grant(kData, kRoOff, "M"), grant(sub, kRoOff, "M"), grant(kData, kRoOff, "RX"),
                  grant(work2, kRoOff, "RX"), grant(kTemp, kRoOff, "M"), revoke(kWork, kRoOff),
                  revoke(kData, kRoOff), revoke(sub, kRoOff), revoke(work2, kRoOff),
                  revoke(kTemp, kRoOff)));
}

TEST(RunSandboxed, ALeftOverTemporaryDirectoryIsEmptiedWithoutFollowingLinks) {
  Machine m;
  m.files.add_file("C:\\Users\\u\\Documents\\thesis.docx", "precious");
  m.files.add_file(kTemp + "\\old\\file", "x");
  m.files.nodes[kTemp + "\\old\\escape"] =
      fakes::FakeFileSystem::Node{true, {}, std::string("C:\\Users\\u\\Documents")};
  m.on_icacls = [&](const fakes::FakeToolRunner::Run& run) -> SysResult<CapturedRun> {
    // Fresh and empty when it is granted.
    if (run.arguments[0] == kTemp && run.arguments[1] == "/grant") {
      EXPECT_FALSE(m.files.has(kTemp + "\\old"));
      EXPECT_TRUE(m.files.has(kTemp));
    }
    return CapturedRun{};
  };
  ASSERT_TRUE(m.run().ok());
  EXPECT_EQ(m.files.content("C:\\Users\\u\\Documents\\thesis.docx"), "precious");
  EXPECT_THAT(m.log, Not(Contains(HasSubstr("Documents"))));
}

// The system gives the command the identity's container folder as its
// LOCALAPPDATA, TEMP and TMP: nothing one run leaves there reaches the next,
// and nothing a command locks there stops the identity's later runs.
TEST(RunSandboxed, TheContainerFolderIsEmptyWhenTheCommandStartsAndEmptiedAfterIt) {
  Machine m;
  const std::string docs = "C:\\Users\\u\\Documents";
  const std::string aside = kState + "\\stale\\aside1";
  m.files.add_file(docs + "\\thesis.docx", "precious");
  m.files.nodes[kAc + "\\escape"] = fakes::FakeFileSystem::Node{true, {}, docs};
  for (const char* left : {"\\Temp\\old\\f", "\\npm-cache\\x", "\\locked\\f"}) {
    m.files.add_file(kAc + left);
  }
  m.files.fail("remove_file", kAc + "\\locked\\f", 5);
  m.files.add_file(container_of(kRoOff) + "\\Temp\\theirs");
  const auto in_folder = [&] {
    std::vector<std::string> found;
    for (const auto& [path, node] : m.files.nodes) {
      if (path.starts_with(kAc + "\\")) found.push_back(path);
    }
    return found;
  };
  // The grants stand in for the command: what it leaves last cannot even
  // be moved aside, which after the child is no failure.
  bool planted = false;
  m.on_icacls = [&](const fakes::FakeToolRunner::Run& run) -> SysResult<CapturedRun> {
    if (run.arguments[1] != "/grant" || std::exchange(planted, true)) return CapturedRun{};
    EXPECT_THAT(in_folder(), ElementsAre(kAc + "\\Temp"));
    m.files.add_file(kAc + "\\Temp\\new");
    m.files.add_file(kAc + "\\late\\f");
    m.files.fail("remove_file", kAc + "\\late\\f", 5);
    m.files.fail("move_entry", kAc + "\\late", 5);
    return CapturedRun{};
  };
  EXPECT_EQ(m.run().value(), 3u);
  m.expect_in_order({"fs move " + kAc + "\\locked -> " + aside, grant(kWork, kWwOff, "M"),
                     "launch start tool.exe arg", "fs remove_file " + kAc + "\\Temp\\new"});
  // What was moved aside may hold links that icacls /T would follow.
  EXPECT_FALSE(m.logged("tool icacls.exe " + aside));
  EXPECT_THAT(in_folder(), ElementsAre(kAc + "\\Temp", kAc + "\\late", kAc + "\\late\\f"));
  EXPECT_TRUE(m.files.has(aside + "\\f"));
  EXPECT_EQ(m.files.content(docs + "\\thesis.docx"), "precious");
  EXPECT_TRUE(m.files.has(container_of(kRoOff) + "\\Temp\\theirs"));
  m.expect_released_last(kWwOff);
}

TEST(RunSandboxed, ATemporaryDirectoryStillInUseIsRetriedBrieflyAndDoesNotFailTheRun) {
  Machine m;
  m.files.fail("remove_empty_directory", kTemp, 32);
  EXPECT_EQ(m.run().value(), 3u);
  EXPECT_EQ(m.events("process sleep").size(), 4u);  // five attempts in all
  EXPECT_FALSE(m.files.has(lease_of(kWwOff)));
  m.expect_released_last(kWwOff);
}

TEST(RunSandboxed, AnEnvironmentThatCannotBeSetStopsTheRunAndIsUndone) {
  Machine m;
  m.env.failing_sets = {"TMP"};
  EXPECT_EQ(m.run().error(), "set sandbox TMP: fake error 87 (os error 87)");
  EXPECT_FALSE(m.logged("launch start"));
  EXPECT_THAT(m.icacls(), Contains(revoke(kTemp, kWwOff)));
  EXPECT_FALSE(m.files.has(lease_of(kWwOff)));
  m.expect_released_last(kWwOff);
}

TEST(RunSandboxed, WithoutLocalAppDataTheLeaseIsFoundAfterTheChildsTempIsSet) {
  Machine m;
  m.env.variables.erase("LOCALAPPDATA");
  const std::string state = m.env.temp + "\\Tessarin\\sandbox";
  m.files.add_file(state + "\\setup-v1.json",
                   serialize_setup_marker(SetupMarker{1, {kRoOff, kWwOff}}));
  ASSERT_TRUE(m.run().ok());
  EXPECT_THAT(m.log, Contains("fs remove_file " + state + "\\acl-leases\\" + kWwOff + ".json"));
  EXPECT_FALSE(m.files.has(state + "\\acl-leases\\" + kWwOff + ".json"));
  EXPECT_FALSE(m.files.has(state + "\\tmp\\4242"));
}

TEST(RunSandboxed, ANetworkedRunUsesTheOnlineIdentityAndItsCapabilities) {
  Machine m;
  RunRequest r = m.request();
  r.network = true;
  ASSERT_TRUE(m.run(std::move(r)).ok());
  EXPECT_TRUE(m.logged("lock create " + lock_of(kWwOn)));
  EXPECT_THAT(m.launcher.created.at(0).capabilities,
              ElementsAre(sid_of(kWwOn), "S-1-15-3-1", "S-1-15-3-3"));
  m.expect_released_last(kWwOn);
}

TEST(RunSandboxed, AStaleLeaseIsRevokedUnderTheLockBeforeTheNewOneIsWritten) {
  Machine m;
  m.directory("C:\\old");
  m.files.add_file(lease_of(kWwOff), encode_acl_lease({"\\\\?\\C:\\old", kState + "\\tmp\\9"}));
  ASSERT_TRUE(m.run().ok());
  m.expect_in_order({"lock wait", revoke("\\\\?\\C:\\old", kWwOff),
                     "fs remove_file " + lease_of(kWwOff), "fs replace",
                     grant(kWork, kWwOff, "M")});
  // The dead run's temporary directory no longer exists: nothing to revoke.
  EXPECT_THAT(m.icacls(), Not(Contains(revoke(kState + "\\tmp\\9", kWwOff))));
}

// A run killed at any instant leaves its temporary directory and perhaps a
// lease temporary file; the next run of the identity removes exactly those,
// unless a live process now carries the dead run's number: that may be a run
// of another identity, whose directory it is now.
TEST(RunSandboxed, AStaleLeaseTakesTheDeadRunsLeftoversWithIt) {
  Machine m;
  const std::string dead = kState + "\\tmp\\9";
  const std::string leases = kLeases + "\\";
  m.files.add_file(dead + "\\made by the child");
  m.files.add_file(kState + "\\tmp\\12\\another run's");
  m.files.add_file(leases + kWwOff + ".tmp-77", "[");
  m.files.add_file(leases + kRoOff + ".tmp-78", "[");
  m.files.add_file(lease_of(kWwOff), encode_acl_lease({dead, kState + "\\tmp\\12"}));
  m.processes.gone_pids.insert(9);
  ASSERT_TRUE(m.run().ok());
  m.expect_in_order({"lock wait", revoke(dead, kWwOff), "fs remove_directory " + dead,
                     "fs remove_file " + lease_of(kWwOff), grant(kWork, kWwOff, "M")});
  EXPECT_FALSE(m.files.has(dead));
  EXPECT_FALSE(m.files.has(leases + kWwOff + ".tmp-77"));
  // Another identity's lease, and a directory whose number lives, are not ours.
  EXPECT_TRUE(m.files.has(leases + kRoOff + ".tmp-78"));
  EXPECT_TRUE(m.files.has(kState + "\\tmp\\12\\another run's"));
}

}  // namespace
}  // namespace tessarin
