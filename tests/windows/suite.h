// What the acceptance suite's parts share: its owners, the report, the
// processes it starts and the runs it makes through the helper. The suite
// includes nothing of the product, so that the oracle never shares the code
// under test.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h, or the old winsock header comes in first.
#include <windows.h>

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace acceptance {

using json = nlohmann::ordered_json;

enum Exit : int { kPassed = 0, kFailed = 1, kUsage = 2, kRefused = 3, kNotReady = 4 };
// The probe's verdicts; kNotAllowed accepts a denial or any other failure.
enum Probe : int { kAllowed = 0, kDenied = 10, kNotFound = 11, kOther = 12, kNotAllowed = -1 };
constexpr DWORD kNotStarted = 0xFFFFFFFF;
constexpr DWORD kHelperFailed = 77;  // the helper's own failure, never a child's verdict
constexpr DWORD kRunTimeoutMs = 180000;
constexpr DWORD kToolTimeoutMs =
    1800000;  // icacls on a tree, and helper runs on the generated tree
constexpr const char* kRanMarker = "tessarin-probe ran";  // the probe's first output
const char* const kReadyLine =
    "{\"version\":1,\"ready\":true,\"capabilities\":{\"filesystem_isolation\":true,"
    "\"network_isolation\":true,\"process_isolation\":true},\"warning\":null,\"remediation\":null}"
    "\n";
// What the suite itself registers: a throwaway profile for the firewall
// question, so that no rule of the suite ever touches the helper's identities,
// and its rules in a group of their own.
const wchar_t* const kQuestionProfile = L"Tessarin.Acceptance.Question";
const wchar_t* const kSuiteRules = L"Tessarin Acceptance";
const wchar_t* const kWorkMarker = L"\\tessarin-acceptance.work";

// ---- owners ----------------------------------------------------------------
// The suite includes nothing of the product, so it keeps its own few owners.

struct Handle {
  HANDLE h = nullptr;
  Handle() = default;
  explicit Handle(HANDLE value) : h(value == INVALID_HANDLE_VALUE ? nullptr : value) {}
  Handle(Handle&& other) noexcept : h(std::exchange(other.h, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    std::swap(h, other.h);
    return *this;
  }
  ~Handle() {
    const DWORD saved = GetLastError();
    if (h) CloseHandle(h);
    SetLastError(saved);
  }
  HANDLE get() const { return h; }
  explicit operator bool() const { return h != nullptr; }
};
template <class T>
struct Local {  // what the system allocated with LocalAlloc
  T p{};
  Local() = default;
  Local(const Local&) = delete;
  ~Local() { LocalFree(p); }
};
template <class F>
struct Finally {  // runs on every path out of its scope
  F f;
  ~Finally() { f(); }
};
template <class F>
Finally(F) -> Finally<F>;

// ---- text and the report ------------------------------------------------------

std::string u8(const std::wstring& text);
std::wstring w(const std::string& text);
std::string sid_text(PSID sid);
double round3(double seconds);

struct Check {
  std::string name, promise;
  bool pass = false;
  std::string detail, advice;
};

struct Suite {
  json report = {{"suite", "tessarin-sandbox acceptance"}};
  json checks = json::array();
  std::map<std::string, json> measured, answered;
  int failures = 0;
  bool require_network = false, large_tree = false, require_decisive = false;
  std::wstring path;  // the report file, rewritten as the run goes
};
extern Suite g_suite;

bool record(const Check& c);
void skip(const std::string& name, const std::string& reason);
void write_report(std::optional<int> code = std::nullopt);
std::vector<std::string> undecided();

// ---- files and access lists ----------------------------------------------------

std::wstring long_form(const std::wstring& path);
bool exists(const std::wstring& path);
std::string slurp(const std::wstring& path);
void spill(const std::wstring& path, const std::string& bytes);
// False when the directory could not be listed: an audit must say so rather
// than find nothing below it.
template <class Visit>
bool list_dir(const std::wstring& dir, Visit visit) {
  WIN32_FIND_DATAW entry{};
  const HANDLE find = FindFirstFileW((long_form(dir) + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return false;
  const Finally close{[&] { FindClose(find); }};
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") visit(dir + L"\\" + name);
  } while (FindNextFileW(find, &entry));
  return true;
}
void enable_privileges();
Handle open_entry(const std::wstring& path, DWORD access, DWORD flags = 0);
void remove_tree(const std::wstring& path);
std::optional<std::string> dacl_text(const std::wstring& path);
std::optional<bool> has_ace(const std::wstring& path, const std::string& sid);
bool reached(const std::wstring& path, const std::string& sid);
void find_aces(const std::wstring& path, const std::string& sid, std::vector<std::string>& found);
bool add_ace(const std::wstring& path, const std::string& sid, DWORD rights);

// ---- processes -----------------------------------------------------------------

enum class As { kUser, kElevated, kContainer };
struct Launch {
  std::vector<std::wstring> argv;
  As as = As::kUser;
  bool online = false;  // kContainer: with the helper's two network capabilities
  bool track = false;   // report every process of the tree with its times
  bool bound = false;   // dies with the suite (a kill-on-close job of its own)
  std::vector<HANDLE> extra{};
  const std::wstring* environment = nullptr;
  bool own_console = false;  // a console of its own, which the suite can close
  bool null_input = false;   // standard input from the null device, not the console
};
// One process of a tracked tree; times in seconds from the launch.
struct Event {
  DWORD pid = 0;
  Handle process;  // held, so that its name can still be read once it has ended
  std::wstring image;
  double start = 0, end = -1;
};
struct Started {
  Handle process, job, port;
  DWORD pid = 0;
  std::wstring out, err;
  std::string failure;  // why the suite could not start it
  LARGE_INTEGER t0{};
  std::vector<Event> events;
};
struct Finished {
  DWORD exit = kNotStarted;
  bool timed_out = false;
  std::string out, err;
  DWORD pid = 0;
  double seconds = 0;
  std::vector<Event> events;
};
struct Identity {
  std::wstring name;
  std::string sid;
};
// Everything the checks share about the machine under test.
struct Machine {
  std::wstring root, helper, probe, ws, wroot, sibling, outside, target, plant, state, io, bin,
      tree;
  Identity ids[2][2];  // [workspace_write][online]
  std::string question_sid;
  Local<PSID> question_psid;
  Handle user_token;  // a filtered, medium-integrity token: how a caller runs
  Handle console_input, null_input;
  Started caller;
  std::string net_target, loopback;
  bool network = false;
  int serial = 0;
  std::map<std::string, Finished> finished;  // check name -> run, for the controls
  std::wstring audit_module;                 // NtObjectManager's manifest, for the audit
  std::string user_sid;                      // the account the suite and its caller run as
};
extern Machine g;

double since(const LARGE_INTEGER& t0);
std::wstring quote(const std::wstring& arg);
Started start(const Launch& l);
void pump(Started& s, DWORD wait_ms);
Finished finish(Started& s, DWORD timeout = kRunTimeoutMs);
Finished execute(const Launch& l, DWORD timeout = kRunTimeoutMs);
std::wstring system_dir();
struct EnvChange {
  std::wstring name, value;
  bool prepend = true;
};
std::wstring environment_with(const std::vector<EnvChange>& changes);
std::wstring system_modules();
Finished powershell(const std::wstring& script, As as = As::kElevated, DWORD timeout = 120000);
Finished icacls(const std::wstring& path, std::vector<std::wstring> args);

// ---- judging a run and runs through the helper -----------------------------------

bool child_ran(const Finished& f);
bool could_not(const Finished& f);
bool did(const Finished& f);
std::string verdict(DWORD code);
std::string seen(const Finished& f);
std::string outcome(const Finished& f);

std::wstring expand(std::string text, const Identity& id);
struct RunOptions {
  bool write = false, online = false, audit = true, track = false;
  const Started* caller = nullptr;  // the suite's stand-in caller by default
  const std::wstring* workspace = nullptr;
  std::vector<HANDLE> extra{};
  const std::wstring* environment = nullptr;
  std::function<void(Started&)> during{};
  bool own_console = false;
  DWORD limit = kRunTimeoutMs;  // kToolTimeoutMs on the generated tree
  bool null_input = false;
  std::vector<std::wstring> more{};  // helper options after the standard ones
  std::wstring program{};            // the command instead of the probe
};
void audit(const std::string& run, const Identity& id, DWORD helper_pid,
           const std::wstring& workspace);
void while_running(const Started& helper, DWORD step, DWORD limit,
                   const std::function<bool()>& ready);
Finished run(const std::string& name, const std::vector<std::string>& probe_args,
             const RunOptions& o = {});

// ---- the checks ------------------------------------------------------------------

struct Case {
  const char* name;
  const char* promise;
  bool write = false, online = false;
  std::vector<std::string> probe;
  int expect = kAllowed;
  std::vector<const char*> controls{};  // the checks whose success shows it can work
  const char* advice;
  bool needs_network = false;
  std::string prints{};  // what the child must print, slots expanded
};

const char* const kWsWrite = "workspace_write: creates and deletes a workspace file";
const char* const kWsRead = "read_only: reads a workspace file";
const char* const kOnline = "online (read_only): connects outside the machine";
const char* const kOnlineWw = "online (workspace_write): connects outside the machine";
const char* const kLoopHere = "the suite itself reaches its loopback listener";
const char* const kOffline = "keep offline identities without network capabilities";
const char* const kCapabilities = "give online identities the internet-client capabilities";
const char* const kTokenAdvice =
    "start the child in the identity's AppContainer, at Low integrity, with exactly the "
    "capabilities of its network mode";

const std::vector<Case>& cases();
void unreachable(const std::string& name);
bool plant_junction(const std::wstring& link, const std::wstring& target);
extern json g_junction;
void temp_links_and_names(json& m);
Finished remove_rules(const std::wstring& groups);
Finished remove_suite_rules();
void run_cases();
void exit_codes();
void inherited_handle();
void workspace_junctions();
void console_events();
void dying_caller_and_helper();
void console_close();
void locked_file();
void planted_tools();
void interrupt_during_grants();
void toolchains();

// ---- the measurements and the design questions ------------------------------------

struct Measurement {
  const char* name;
  json (*take)();
};
// The rows in order; the questions name their figures by these.
enum Row {
  kEmptyPhases,
  kTreePhases,
  kTreePairs,
  kTreePairsScanned,
  kLoopJunction,
  kReadiness,
  kFirewall,
  kChildJunctions,
  kHardLink,
  kChildToken,
  kHelperJunction,
  kTempPlaces,
  kNulDevice,
  kIcaclsPartial,
  kAudit,
  kRows
};
extern const Measurement kMeasurements[kRows];
const json* taken(Row row);
void take_measurements();
void judge_figures();  // the checks the measurements carry

struct Answer {
  std::string answer, should;
};
struct Question {
  const char* question;
  std::vector<Row> figures;
  Answer (*settle)();
};
extern const std::vector<Question> kQuestions;
void settle_questions();

// ---- start-up ----------------------------------------------------------------------

std::wstring env(const wchar_t* name);

}  // namespace acceptance
