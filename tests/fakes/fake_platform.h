#pragma once
// In-memory fakes of every platform interface, for the unit tests. Each fake
// appends what it is asked to do to one shared event log, so that tests can
// check the order of steps across interfaces.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_launcher.h"
#include "platform/platform.h"

namespace tessarin::fakes {

using EventLog = std::vector<std::string>;

class FakeConsole final : public Console {
 public:
  std::vector<std::string> args = {"tessarin-sandbox.exe"};
  std::optional<std::string> arguments_error;
  std::string out;
  std::string err;
  int stdout_writes = 0;

  Result<std::vector<std::string>> arguments() override;
  void write_stdout(std::string_view text) override;
  void write_stderr(std::string_view text) override;
};

class FakeEnvironment final : public Environment {
 public:
  explicit FakeEnvironment(EventLog& log) : log_(log) {}
  std::map<std::string, std::string> variables = {{"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"},
                                                  {"PATH", "C:\\Windows\\System32"}};
  std::string temp = "C:\\Users\\u\\AppData\\Local\\Temp";
  std::uint32_t pid = 4242;
  std::string exe_dir = "C:\\tools\\tessarin";
  std::set<std::string> failing_sets;  // variable names whose set() fails

  std::optional<std::string> get(const std::string& name) override;
  SysStatus set(const std::string& name, const std::string& value) override;
  // TMP, else TEMP, else `temp`, as the system reads it.
  std::string temp_directory() override;
  std::uint32_t current_process_id() override { return pid; }
  std::string executable_file() override { return exe_dir + "\\tessarin-sandbox.exe"; }
  std::string executable_directory() override { return exe_dir; }
  std::string system_directory() override { return "C:\\Windows\\System32"; }
  std::string windows_directory() override { return "C:\\Windows"; }
  // "aside1", "aside2", ...
  SysResult<std::string> unguessable_name() override { return "aside" + std::to_string(++names_); }

 private:
  EventLog& log_;
  int names_ = 0;
};

// A tree of files and directories keyed by the exact path text. Parents must
// exist for a file or directory to be created, as on Windows.
class FakeFileSystem final : public FileSystem {
 public:
  explicit FakeFileSystem(EventLog& log) : log_(log) {}

  struct Node {
    bool directory = false;
    std::string content;
    // A link: the path it points to, as the link records it (relative to
    // the link's directory unless absolute). Links are followed by exists,
    // is_file, read_file, canonicalize and link_target, never by the
    // tree-removal primitives.
    std::optional<std::string> link_target;
    // A reparse point that is no link, such as a cloud-file placeholder.
    bool other_reparse_point = false;
    // The file's other names, which link_count counts and file_names gives.
    std::vector<std::string> other_names = {};
  };
  std::map<std::string, Node> nodes;
  // Called with each directory just listed: another process at work.
  std::function<void(const std::string&)> after_list;

  // Makes the next calls of `operation` ("read_file", "write_file",
  // "remove_file", "rename", "replace", "create_directories", "canonicalize",
  // "list_directory", "remove_empty_directory", "read_link", "file_names",
  // "move_entry") on `path` fail with `code`.
  void fail(const std::string& operation, const std::string& path, std::uint32_t code,
            ErrorKind kind = ErrorKind::kOther);
  // Undoes fail().
  void heal(const std::string& operation, const std::string& path);
  // Canonical form of a path that canonicalize yields; paths without an entry
  // canonicalise to "\\?\" + the path (when they exist).
  std::map<std::string, std::string> canonical;

  void add_directory(const std::string& path);  // with every parent
  void add_file(const std::string& path, std::string content = {});
  bool has(const std::string& path) const { return nodes.count(path) != 0; }
  std::string content(const std::string& path) const;

  bool exists(const std::string& path) override;
  bool is_file(const std::string& path) override;
  SysResult<std::string> read_file(const std::string& path) override;
  SysStatus write_file(const std::string& path, std::string_view bytes) override;
  SysStatus remove_file(const std::string& path) override;
  SysStatus rename(const std::string& from, const std::string& to) override;
  SysStatus replace(const std::string& from, const std::string& to) override;
  SysStatus create_directories(const std::string& path) override;
  SysResult<std::string> canonicalize(const std::string& path) override;
  // The tree primitives map UTF-16 paths to node keys unit for unit (an
  // unpaired surrogate becomes its three-byte form, as in "\xED\xA0\x80"),
  // so that a name that UTF-8 cannot carry still has a node of its own.
  SysResult<std::u16string> tree_path(const std::string& path) override;
  LinkStatus link_status(const std::u16string& path) override;
  SysResult<std::vector<DirectoryEntry>> list_directory(const std::u16string& path) override;
  SysStatus remove_file(const std::u16string& path) override;
  SysStatus remove_empty_directory(const std::u16string& path) override;
  SysStatus move_entry(const std::u16string& from, const std::u16string& to) override;
  SysResult<LinkRecord> read_link(const std::u16string& path) override;
  // Logged, so that a test can tell that a target was never opened.
  SysResult<std::u16string> open_link_target(const std::u16string& path) override;
  SysResult<std::uint32_t> link_count(const std::u16string& path) override;
  SysResult<std::vector<std::u16string>> file_names(const std::u16string& path) override;

  static SystemError error(std::uint32_t code, ErrorKind kind = ErrorKind::kOther);

 private:
  std::optional<SystemError> injected(const std::string& operation, const std::string& path);
  // A node and everything below it, renamed.
  SysStatus move_nodes(const char* operation, const std::string& from, const std::string& to);
  // The key of the node that `path` leads to, following links.
  std::optional<std::string> resolve_key(const std::string& path) const;
  const Node* resolve(const std::string& path) const;
  std::string canonical_form(const std::string& key) const;
  bool parent_is_directory(const std::string& path) const;
  std::map<std::pair<std::string, std::string>, SystemError> failures_;
  EventLog& log_;
};

// Records every tool run as "tool <name> <arg> <arg>..." in the log and in
// `runs`; answers through `on_run`, by default exit code 0.
class FakeToolRunner final : public ToolRunner {
 public:
  explicit FakeToolRunner(EventLog& log) : log_(log) {}
  struct Run {
    std::string name;
    std::vector<std::string> arguments;
    bool captured = false;
    std::vector<VariableOverride> overrides;
    bool ends_with_caller = false;
  };
  std::vector<Run> runs;
  std::function<SysResult<CapturedRun>(const Run&)> on_run;

  SysResult<std::uint32_t> run_inheriting(const std::string& bare_name,
                                          const std::vector<std::string>& arguments,
                                          const std::vector<VariableOverride>& overrides) override;
  SysResult<CapturedRun> run_capturing(const std::string& bare_name,
                                       const std::vector<std::string>& arguments) override;
  void end_with(Handle* watched) override { watched_ = watched; }

 private:
  SysResult<CapturedRun> record(Run run);
  EventLog& log_;
  Handle* watched_ = nullptr;
};

// Profiles registered by name; SIDs are heap tokens whose releases are
// counted, so tests can check that each SID is released exactly once and with
// the function its origin needs.
class FakeAppContainerApi final : public AppContainerApi {
 public:
  explicit FakeAppContainerApi(EventLog& log) : log_(log) {}
  std::set<std::string> registered;
  std::map<std::string, std::uint32_t> create_results;  // forced HRESULT failure by name
  std::map<std::string, std::uint32_t> derive_results;  // forced HRESULT failure by name
  std::optional<std::uint32_t> sid_to_string_error;
  std::map<std::string, std::uint32_t> string_to_sid_errors;  // by SID text

  // The SID text a profile name maps to.
  static std::string sid_text_for(const std::string& name);
  // SIDs handed out and not yet released.
  std::size_t live_sids() const { return live_.size(); }
  int free_sid_calls = 0;
  int local_free_calls = 0;
  int wrong_release_calls = 0;  // released with a function that does not match its origin

  SysResult<OwnedSid> create_profile(const std::string& name, const std::string& display_name,
                                     const std::string& description) override;
  SysResult<OwnedSid> derive_sid(const std::string& name) override;
  // container_of(name) for a registered profile.
  SysResult<std::string> folder_path(const std::string& sid_text) override;
  SysResult<std::string> sid_to_string(const void* sid) override;
  SysResult<OwnedSid> string_to_sid(const std::string& text) override;
  void release_sid(void* sid, SidOrigin origin) override;

  struct Sid {
    std::string text;
    SidOrigin origin;
  };

 private:
  OwnedSid allocate(std::string text, SidOrigin origin);
  std::map<void*, std::unique_ptr<Sid>> live_;
  EventLog& log_;
};

// Mutexes and lock files, held by nobody else unless a test says so.
class FakeLockApi final : public LockApi {
 public:
  explicit FakeLockApi(EventLog& log) : log_(log) {}
  std::optional<std::uint32_t> create_error;
  std::optional<std::uint32_t> acquire_error;  // the wait for the mutex fails
  bool caller_ends_first = false;              // while waiting for the mutex
  bool abandoned = false;                      // the mutex's last owner died holding it
  // The next attempts at a lock file find it held by another process; then
  // the next fails with `file_lock_error`, if set, and every later one takes
  // the lock.
  int held_elsewhere = 0;
  std::optional<std::uint32_t> file_lock_error;
  int open_handles = 0;  // mutexes and held locks
  SysResult<std::unique_ptr<NamedMutex>> create_mutex(const std::string& name) override;
  SysResult<FileLockAttempt> try_lock_file(const std::string& path) override;

 private:
  EventLog& log_;
};

// One of each fake, wired into a Platform.
struct FakePlatform {
  EventLog log;
  FakeConsole console;
  FakeEnvironment env{log};
  FakeFileSystem files{log};
  FakeToolRunner tools{log};
  FakeAppContainerApi app_containers{log};
  FakeLockApi locks{log};
  FakeProcessApi processes{log};
  FakeLaunchApi launcher{log, [this](const void* sid) {
                           auto text = app_containers.sid_to_string(sid);
                           return text ? *text : std::string("?");
                         }};
  FakeConsoleEvents console_events{log};
  Platform platform{console, env,       files,    tools,         app_containers,
                    locks,   processes, launcher, console_events};

  // Events of the log that start with `prefix`.
  std::vector<std::string> events(const std::string& prefix) const;
};

// Every prefix of `good` (flagged as cut short) and every copy of it with one
// bit changed: what a stored file can become after a crash or a bad disk.
std::vector<std::pair<std::string, bool>> damaged_copies(const std::string& good);

}  // namespace tessarin::fakes
