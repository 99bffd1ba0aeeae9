// The acceptance suite for real Windows 10/11: runs real confined children
// through tessarin-sandbox.exe (found beside this program), checks each
// promise against what the child could actually do, and measures what the
// next design steps depend on. Run it elevated:
//   tessarin-acceptance.exe [--report <file>] [--work <dir>] [--net-target <ipv4>:<port>]
//                           [--require-network] [--large-tree]
//   tessarin-acceptance.exe --cleanup [--work <dir>]
// Exit codes: 0 every check passed (some may be skipped), 1 a check failed,
// 2 usage, 3 refused to run (not Windows 10/11, not elevated, files missing,
// a work directory it did not make), 4 setup or status did not make the
// machine ready (nothing else was run). --cleanup exits 0 when everything
// setup and the suite left is gone, 1 when something remains.

#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h, or the old winsock header comes in first.
#include <windows.h>

#include <aclapi.h>
#include <netfw.h>
#include <sddl.h>
#include <userenv.h>
#include <winioctl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "net_target.h"

namespace {

using json = nlohmann::ordered_json;

enum Exit : int { kPassed = 0, kFailed = 1, kUsage = 2, kRefused = 3, kNotReady = 4 };
// The probe's verdicts; kNotAllowed accepts a denial or any other failure.
enum Probe : int { kAllowed = 0, kDenied = 10, kNotFound = 11, kOther = 12, kNotAllowed = -1 };
constexpr DWORD kNotStarted = 0xFFFFFFFF;
constexpr DWORD kHelperFailed = 77;  // the helper's own failure, never a child's verdict
constexpr DWORD kRunTimeoutMs = 180000;
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

// ---- text --------------------------------------------------------------------

std::string u8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}
std::wstring w(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}
std::string sid_text(PSID sid) {
  Local<wchar_t*> text;
  return sid && ConvertSidToStringSidW(sid, &text.p) ? u8(text.p) : "?";
}
double round3(double seconds) {
  return static_cast<double>(std::llround(seconds * 1000)) / 1000;
}

// ---- the report ----------------------------------------------------------------

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
  bool require_network = false, large_tree = false;
} g_suite;

bool record(const Check& c) {
  g_suite.checks.push_back({{"check", c.name},
                            {"promise", c.promise},
                            {"result", c.pass ? "pass" : "FAIL"},
                            {"detail", c.detail},
                            {"helper should", c.pass ? "" : c.advice}});
  if (c.pass) {
    std::printf("PASS  %s\n", c.name.c_str());
  } else {
    ++g_suite.failures;
    std::printf(
        "FAIL  %s\n      broken promise: %s\n      observed: %s\n      the helper should: %s\n",
        c.name.c_str(), c.promise.c_str(), c.detail.c_str(), c.advice.c_str());
  }
  std::fflush(stdout);
  return c.pass;
}
void skip(const std::string& name, const std::string& reason) {
  g_suite.checks.push_back({{"check", name}, {"result", "skip"}, {"detail", reason}});
  std::printf("SKIP  %s: %s\n", name.c_str(), reason.c_str());
}

// ---- files and access lists ------------------------------------------------------

// The walks below go through \\?\ paths, so that trailing dots and spaces,
// device names and long paths are neither altered nor out of reach.
std::wstring long_form(const std::wstring& path) {
  return path.rfind(L"\\\\?\\", 0) == 0 ? path : L"\\\\?\\" + path;
}
bool exists(const std::wstring& path) {
  return GetFileAttributesW(long_form(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}
std::string slurp(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void spill(const std::wstring& path, const std::string& bytes) {
  std::ofstream(std::filesystem::path(path), std::ios::binary) << bytes;
}
template <class Visit>
void list_dir(const std::wstring& dir, Visit visit) {
  WIN32_FIND_DATAW entry{};
  const HANDLE find = FindFirstFileW((long_form(dir) + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  const Finally close{[&] { FindClose(find); }};
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") visit(dir + L"\\" + name);
  } while (FindNextFileW(find, &entry));
}

// Backup and restore let the elevated suite read and delete whatever a child
// locked against its own user, so that the audit misses nothing it cannot open.
void enable_privileges() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) return;
  const Handle token(raw);
  for (const wchar_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
    TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid);
    AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
  }
}

Handle open_entry(const std::wstring& path, DWORD access, DWORD flags = 0) {
  return Handle(
      CreateFileW(long_form(path).c_str(), access,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr));
}

// The oracle must not share the code under test: this removal and quote()
// below are the suite's own, not the helper's. It never follows a link out
// of the tree, and deletes with the restore privilege what the user cannot.
void remove_tree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(long_form(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(long_form(path).c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    list_dir(path, [](const std::wstring& entry) { remove_tree(entry); });
  }
  open_entry(path, DELETE, FILE_FLAG_DELETE_ON_CLOSE);
}

// The access list of the entry itself (a link is not followed), or nothing
// when it cannot be read.
std::optional<std::string> dacl_text(const std::wstring& path) {
  const Handle file = open_entry(path, READ_CONTROL);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!file || GetSecurityInfo(file.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                               nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  Local<wchar_t*> text;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                       DACL_SECURITY_INFORMATION, &text.p, nullptr);
  LocalFree(descriptor);
  return text.p ? u8(text.p) : std::string();
}
// Whether the entry itself has an access entry (allowed or denied, explicit or
// inherited) for `sid`; nothing when it cannot be read.
std::optional<bool> has_ace(const std::wstring& path, const std::string& sid) {
  const auto dacl = dacl_text(path);
  if (!dacl) return std::nullopt;
  return dacl->find(";;;" + sid + ")") != std::string::npos;
}
bool reached(const std::wstring& path, const std::string& sid) {
  return has_ace(path, sid).value_or(false);
}

// Every entry under `path` (links looked at, not followed) that names `sid`,
// or whose access list could not be read.
void find_aces(const std::wstring& path, const std::string& sid, std::vector<std::string>& found) {
  const DWORD attributes = GetFileAttributesW(long_form(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  const auto has = has_ace(path, sid);
  if (!has) found.push_back("unreadable " + u8(path));
  if (has.value_or(false)) found.push_back(u8(path));
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    list_dir(path, [&](const std::wstring& entry) { find_aces(entry, sid, found); });
  }
}

bool add_ace(const std::wstring& path, const std::string& sid, DWORD rights) {
  Local<PSID> trustee;
  if (!ConvertStringSidToSidW(w(sid).c_str(), &trustee.p)) return false;
  PACL old_dacl = nullptr;
  Local<PSECURITY_DESCRIPTOR> descriptor;
  Local<PACL> new_dacl;
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = rights;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.ptstrName = static_cast<LPWSTR>(trustee.p);
  return GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                               nullptr, &old_dacl, nullptr, &descriptor.p) == ERROR_SUCCESS &&
         SetEntriesInAclW(1, &access, old_dacl, &new_dacl.p) == ERROR_SUCCESS &&
         SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION, nullptr, nullptr, new_dacl.p,
                               nullptr) == ERROR_SUCCESS;
}

// ---- processes ---------------------------------------------------------------------

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

double since(const LARGE_INTEGER& t0) {
  LARGE_INTEGER now{}, frequency{};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - t0.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t slashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out.push_back(c);
  }
  return out.append(slashes * 2, L'\\') + L"\"";
}

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
  Handle console_input;
  Started caller;
  std::string net_target, loopback;
  bool network = false;
  int serial = 0;
  std::map<std::string, Finished> finished;  // check name -> run, for the controls
} g;

// Every process starts suspended, so that a tracked one is in the suite's job
// before it can start anything.
Started start(const Launch& l) {
  std::wstring line;
  for (const auto& arg : l.argv) line += (line.empty() ? L"" : L" ") + quote(arg);
  Started s;
  const std::wstring stem = g.io + L"\\" + std::to_wstring(++g.serial);
  s.out = stem + L".out";
  s.err = stem + L".err";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const Handle out(CreateFileW(s.out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                               CREATE_ALWAYS, 0, nullptr));
  const Handle err(CreateFileW(s.err.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                               CREATE_ALWAYS, 0, nullptr));
  std::vector<HANDLE> handles = {out.get(), err.get()};
  const HANDLE input = l.own_console ? nullptr : g.console_input.get();
  if (input) handles.push_back(input);
  handles.insert(handles.end(), l.extra.begin(), l.extra.end());
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
  std::vector<BYTE> list(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
  InitializeProcThreadAttributeList(attributes, 2, 0, &size);
  const Finally free_list{[&] { DeleteProcThreadAttributeList(attributes); }};
  UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                            handles.size() * sizeof(HANDLE), nullptr, nullptr);
  // internetClient and privateNetworkClientServer, as an online identity has.
  Local<PSID> client, private_network;
  ConvertStringSidToSidW(L"S-1-15-3-1", &client.p);
  ConvertStringSidToSidW(L"S-1-15-3-3", &private_network.p);
  SID_AND_ATTRIBUTES capabilities[] = {{client.p, SE_GROUP_ENABLED},
                                       {private_network.p, SE_GROUP_ENABLED}};
  SECURITY_CAPABILITIES container{g.question_psid.p, capabilities, l.online ? 2u : 0u, 0};
  if (l.as == As::kContainer) {
    UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES,
                              &container, sizeof container, nullptr, nullptr);
  }
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input;
  startup.StartupInfo.hStdOutput = out.get();
  startup.StartupInfo.hStdError = err.get();
  startup.lpAttributeList = attributes;
  const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED |
                      (l.own_console ? CREATE_NEW_CONSOLE : 0u);
  void* block = l.environment ? const_cast<wchar_t*>(l.environment->c_str()) : nullptr;
  const wchar_t* cwd = l.as == As::kContainer ? g.bin.c_str() : nullptr;
  PROCESS_INFORMATION info{};
  const BOOL ok =
      l.as == As::kElevated
          ? CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, block, cwd,
                           &startup.StartupInfo, &info)
          : CreateProcessAsUserW(g.user_token.get(), nullptr, line.data(), nullptr, nullptr, TRUE,
                                 flags, block, cwd, &startup.StartupInfo, &info);
  if (!ok) {
    s.failure = "(the suite could not start " + u8(l.argv[0]) + ": error " +
                std::to_string(GetLastError()) + ")";
    return s;
  }
  const Handle thread(info.hThread);
  s.process = Handle(info.hProcess);
  s.pid = info.dwProcessId;
  QueryPerformanceCounter(&s.t0);
  if (l.track || l.bound) {
    // Every process the tree starts is announced on the port with its
    // identifier (nested jobs, Windows 8 and later, so the helper's own jobs
    // still work). The suite waits on the port itself, so a message's arrival
    // marks its event to within scheduling latency; no handle to a short-lived
    // tool is needed for its times.
    s.job = Handle(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION kill{};
    kill.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (l.bound) {
      SetInformationJobObject(s.job.get(), JobObjectExtendedLimitInformation, &kill, sizeof kill);
    } else {
      s.port = Handle(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
      JOBOBJECT_ASSOCIATE_COMPLETION_PORT port{s.job.get(), s.port.get()};
      SetInformationJobObject(s.job.get(), JobObjectAssociateCompletionPortInformation, &port,
                              sizeof port);
    }
    AssignProcessToJobObject(s.job.get(), s.process.get());
  }
  ResumeThread(thread.get());
  return s;
}

// Reads the port until it stays quiet for `wait_ms`.
void pump(Started& s, DWORD wait_ms) {
  DWORD message = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED data = nullptr;
  while (s.port && GetQueuedCompletionStatus(s.port.get(), &message, &key, &data, wait_ms)) {
    const auto pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(data));
    if (message == JOB_OBJECT_MSG_NEW_PROCESS) {
      s.events.push_back({pid, Handle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)),
                          L"", since(s.t0)});
    } else if (message == JOB_OBJECT_MSG_EXIT_PROCESS ||
               message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) {
      for (auto e = s.events.rbegin(); e != s.events.rend(); ++e) {
        if (e->pid == pid && e->end < 0) {
          e->end = since(s.t0);
          break;
        }
      }
    }
  }
}

Finished finish(Started& s, DWORD timeout = kRunTimeoutMs) {
  Finished f;
  f.pid = s.pid;
  if (s.process) {
    while (WaitForSingleObject(s.process.get(), s.port ? 0 : timeout) == WAIT_TIMEOUT &&
           since(s.t0) * 1000 < timeout) {
      pump(s, 20);
    }
    f.seconds = since(s.t0);
    if (WaitForSingleObject(s.process.get(), 0) != WAIT_OBJECT_0) {
      f.timed_out = true;
      TerminateProcess(s.process.get(), 1);
      WaitForSingleObject(s.process.get(), 10000);
    }
    pump(s, 300);
    GetExitCodeProcess(s.process.get(), &f.exit);
    s.process = Handle();
  }
  f.out = slurp(s.out);
  f.err = slurp(s.err) + s.failure;
  // Named at the end, not as they start: a process just made may not have
  // its image name yet.
  for (Event& e : s.events) {
    wchar_t image[MAX_PATH];
    DWORD n = MAX_PATH;
    e.image = e.process && QueryFullProcessImageNameW(e.process.get(), 0, image, &n)
                  ? std::wstring(image, n).substr(std::wstring(image, n).find_last_of(L'\\') + 1)
                  : L"?";
    CharLowerW(e.image.data());
    e.process = Handle();
  }
  f.events = std::move(s.events);
  return f;
}
Finished execute(const Launch& l, DWORD timeout = kRunTimeoutMs) {
  Started s = start(l);
  return finish(s, timeout);
}

std::wstring system_dir() {
  wchar_t system[MAX_PATH];
  return std::wstring(system, GetSystemDirectoryW(system, MAX_PATH));
}
Finished powershell(const std::wstring& script) {
  return execute({{system_dir() + L"\\WindowsPowerShell\\v1.0\\powershell.exe", L"-NoProfile",
                   L"-NonInteractive", L"-Command", L"$ErrorActionPreference='Stop'; " + script},
                  As::kElevated},
                 120000);
}
Finished icacls(const std::wstring& path, std::vector<std::wstring> args) {
  args.insert(args.begin(), {system_dir() + L"\\icacls.exe", path});
  return execute({args, As::kElevated}, 1800000);
}

// ---- judging a run -------------------------------------------------------------------

// The child ran only when its marker reached the helper's standard output:
// a helper failure (77, 2, a timeout) never passes for the child's verdict.
bool child_ran(const Finished& f) {
  return !f.timed_out && f.out.find(kRanMarker) != std::string::npos;
}
bool could_not(const Finished& f) {
  return child_ran(f) && (f.exit == kDenied || f.exit == kNotFound || f.exit == kOther);
}
bool did(const Finished& f) {
  return child_ran(f) && f.exit == kAllowed;
}
std::string verdict(DWORD code) {
  return code == kAllowed    ? "allowed"
         : code == kDenied   ? "access denied"
         : code == kNotFound ? "not found"
         : code == kOther    ? "other failure"
                             : "exit " + std::to_string(code);
}
// What happened, in words: the child's verdict, or why there is none, with
// the helper's own stderr.
std::string seen(const Finished& f) {
  std::string text;
  if (f.timed_out) {
    text = "the helper was still running after " + std::to_string(kRunTimeoutMs / 1000) + " s";
  } else if (!child_ran(f)) {
    text = "the child never ran: helper exit " + std::to_string(f.exit);
  } else {
    text = "the child: " + verdict(f.exit);
  }
  const std::size_t end = f.err.find_last_not_of(" \r\n");
  return end == std::string::npos ? text : text + "; stderr: " + f.err.substr(0, end + 1);
}
std::string outcome(const Finished& f) {  // for a measurement: its verdict, or "never ran"
  return did(f) || could_not(f) ? verdict(f.exit) : "never ran (" + seen(f) + ")";
}

// ---- runs through the helper ---------------------------------------------------------

std::wstring expand(std::string text, const Identity& id) {
  const std::map<std::string, std::wstring> slots = {
      {"{ws}", g.ws},         {"{root}", g.wroot},          {"{sibling}", g.sibling},
      {"{target}", g.target}, {"{state}", g.state},         {"{net}", w(g.net_target)},
      {"{sid}", w(id.sid)},   {"{loopback}", w(g.loopback)}};
  for (const auto& [slot, value] : slots) {
    for (std::size_t at; (at = text.find(slot)) != std::string::npos;) {
      text.replace(at, slot.size(), u8(value));
    }
  }
  return w(text);
}

struct RunOptions {
  bool write = false, online = false, audit = true, track = false;
  const Started* caller = nullptr;  // the suite's stand-in caller by default
  const std::wstring* workspace = nullptr;
  std::vector<HANDLE> extra{};
  const std::wstring* environment = nullptr;
  std::function<void(Started&)> during{};
  bool own_console = false;
};

// After every run: no entry for the identity anywhere it was granted (or
// could have been reached through a link), its temporary directory gone,
// and no lease file.
void audit(const std::string& run, const Identity& id, DWORD helper_pid,
           const std::wstring& workspace) {
  std::vector<std::string> left;
  for (const auto& path : {workspace, g.wroot, g.outside, g.sibling, g.state + L"\\tmp"}) {
    find_aces(path, id.sid, left);
  }
  std::string detail;
  for (const auto& path : left) detail += path + "; ";
  const std::wstring temp = g.state + L"\\tmp\\" + std::to_wstring(helper_pid);
  const std::wstring lease = g.state + L"\\acl-leases\\" + id.name + L".json";
  if (exists(temp)) detail += "temporary directory " + u8(temp) + " remains; ";
  if (exists(lease)) detail += "lease file " + u8(lease) + " remains; ";
  record({"clean after: " + run, "after every run no grant, temporary directory or lease remains",
          detail.empty(), detail.empty() ? "nothing left" : detail,
          "revoke every leased path after the child and its tree have ended, remove the "
          "temporary directory without following links, then delete the lease"});
}

// For a `during` step that waits until the run reaches some point: looks at
// `ready` every `step` ms while the helper runs, for `limit` ms at most.
void while_running(const Started& helper, DWORD step, DWORD limit,
                   const std::function<bool()>& ready) {
  for (DWORD waited = 0; waited < limit && !ready() &&
                         WaitForSingleObject(helper.process.get(), step) == WAIT_TIMEOUT;
       waited += step) {
  }
}

Finished run(const std::string& name, const std::vector<std::string>& probe_args,
             const RunOptions& o = {}) {
  const Identity& id = g.ids[o.write][o.online];
  const Started& caller = o.caller ? *o.caller : g.caller;
  const std::wstring& workspace = o.workspace ? *o.workspace : g.ws;
  // A caller that is gone makes the helper end every run with 77: then
  // nothing this run shows is about the helper.
  if (WaitForSingleObject(caller.process.get(), 0) != WAIT_TIMEOUT) {
    record({name + " (the stand-in caller is alive)", "the suite's own fixtures hold", false,
            "the stand-in caller has exited: this run would end \"parent process exited\"",
            "nothing: this is a fault of the suite"});
    return {};
  }
  std::vector<std::wstring> argv = {g.helper,           L"run",
                                    L"--workspace",     workspace,
                                    L"--cwd",           workspace,
                                    L"--preset",        o.write ? L"workspace_write" : L"read_only",
                                    L"--parent-pid",    std::to_wstring(caller.pid),
                                    L"--writable-root", g.wroot};
  if (o.online) argv.push_back(L"--network");
  argv.push_back(L"--");
  argv.push_back(g.probe);
  for (const auto& arg : probe_args) argv.push_back(expand(arg, id));
  Started s =
      start({argv, As::kUser, false, o.track, false, o.extra, o.environment, o.own_console});
  if (o.during && s.process) o.during(s);
  Finished f = finish(s);
  if (f.timed_out) {
    record({name + " (finished in time)", "a run ends when its child ends", false, seen(f),
            "never walk into a junction loop or wait without bound on a tool or a dying tree"});
  }
  if (o.audit) audit(name, id, f.pid, workspace);
  return f;
}

// ---- the table of checks ---------------------------------------------------------------

struct Case {
  const char* name;
  const char* promise;
  bool write, online;
  std::vector<std::string> probe;
  int expect;
  const char* control;  // the check whose success shows the operation can work
  const char* advice;
  bool needs_network = false;
  const char* prints = nullptr;  // what the child must print, slots expanded
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

// One row per check reads better as a table.
// clang-format off
const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
    {kWsRead, "read_only grants read-and-execute on the workspace", false, false,
     {"read", "{ws}\\data.txt"}, kAllowed, nullptr,
     "grant (OI)(CI)RX on the workspace to the identity's SID"},
    {"read_only: cannot create a workspace file", "read_only never lets the child write the workspace",
     false, false, {"write", "{ws}\\by-read-only.txt"}, kDenied, kWsWrite,
     "grant read-and-execute only, never modify, under read_only"},
    {"read_only: cannot read a never-granted sibling directory",
     "the child reaches nothing outside its grants", false, false,
     {"read", "{sibling}\\secret.txt"}, kDenied, kWsRead,
     "grant only the workspace, the writable roots and the temporary directory"},
    {"read_only: a --writable-root is writable", "every writable root gets modify access", false, false,
     {"create-delete", "{root}\\by-read-only.txt"}, kAllowed, nullptr,
     "grant (OI)(CI)M on every writable root whatever the preset"},
    {kWsWrite, "workspace_write gives modify access to the workspace", true, false,
     {"create-delete", "{ws}\\by-workspace-write.txt"}, kAllowed, nullptr,
     "make the grant effective for a Low-integrity container (see the design questions)"},
    {"workspace_write: creates and deletes a file in TEMP", "the run's temporary directory is writable",
     true, false, {"create-delete", "%TEMP%\\by-workspace-write.txt"}, kAllowed, nullptr,
     "grant modify on the run's temporary directory"},
    {"workspace_write: TEMP and TMP name the run's temporary directory",
     "the child's TEMP and TMP point at <state>\\tmp\\<pid>", true, false,
     {"temp-is", "{state}\\tmp\\"}, kAllowed, nullptr,
     "set TEMP and TMP of the child's environment to the run's temporary directory"},
    {"offline (read_only): cannot connect outside the machine", "an offline identity has no network",
     false, false, {"connect", "{net}"}, kNotAllowed, kOnline, kOffline, true},
    {kOnline, "--network gives the child the network", false, true,
     {"connect", "{net}"}, kAllowed, nullptr, kCapabilities, true},
    {"offline (workspace_write): cannot connect outside the machine", "an offline identity has no network",
     true, false, {"connect", "{net}"}, kNotAllowed, kOnlineWw, kOffline, true},
    {kOnlineWw, "--network gives the child the network", true, true,
     {"connect", "{net}"}, kAllowed, nullptr, kCapabilities, true},
    {"online: cannot reach a loopback service (a documented limit)",
     "the README's limit: an online identity cannot reach loopback services", false, true,
     {"connect", "{loopback}"}, kNotAllowed, kLoopHere,
     "keep the README's list of limits true: loopback became reachable"},
    {"token: read_only offline", "the child runs as its identity: AppContainer, Low, no capability",
     false, false, {"token"}, kAllowed, nullptr, kTokenAdvice, false,
     "appcontainer={sid} integrity=S-1-16-4096 capabilities=0"},
    {"token: read_only online", "an online child has the two network capabilities and nothing more",
     false, true, {"token"}, kAllowed, nullptr, kTokenAdvice, false,
     "appcontainer={sid} integrity=S-1-16-4096 capabilities=2"},
    {"token: workspace_write offline", "the child runs as its identity: AppContainer, Low, no capability",
     true, false, {"token"}, kAllowed, nullptr, kTokenAdvice, false,
     "appcontainer={sid} integrity=S-1-16-4096 capabilities=0"},
    {"token: workspace_write online", "an online child has the two network capabilities and nothing more",
     true, true, {"token"}, kAllowed, nullptr, kTokenAdvice, false,
     "appcontainer={sid} integrity=S-1-16-4096 capabilities=2"},
  };
  return table;
}
// clang-format on

// A network check that cannot reach its target proves nothing: skipped, or a
// failure when the run was told the network must be there.
void unreachable(const std::string& name) {
  const std::string why = "this machine cannot reach " + g.net_target + " itself";
  if (!g_suite.require_network) return skip(name, why);
  record({name, "--require-network: every network check runs", false, why,
          "nothing: give the machine a route to the target, or name another with --net-target"});
}

// All rows run first, so that a denial is judged after its positive control.
void run_cases() {
  for (const Case& c : cases()) {
    if (c.needs_network && !g.network) continue;
    g.finished[c.name] = run(c.name, c.probe, {.write = c.write, .online = c.online});
  }
  for (const Case& c : cases()) {
    if (c.needs_network && !g.network) {
      unreachable(c.name);
      continue;
    }
    const Finished& f = g.finished[c.name];
    bool pass = c.expect == kNotAllowed ? (could_not(f) && f.exit != kNotFound)
                                        : child_ran(f) && static_cast<int>(f.exit) == c.expect;
    std::string detail =
        seen(f) + " (expected " + (c.expect == kNotAllowed ? "a failure" : verdict(c.expect)) + ")";
    if (c.prints) {
      const std::string wanted = u8(expand(c.prints, g.ids[c.write][c.online]));
      pass = pass && f.out.find(wanted) != std::string::npos;
      detail += "; printed: " + f.out + " (expected " + wanted + ")";
    }
    if (pass && c.control) {
      if (!did(g.finished[c.control])) {
        record({c.name, c.promise, false,
                detail + "; but its positive control \"" + c.control +
                    "\" did not succeed, so the denial proves nothing",
                "make the positive control pass first"});
        continue;
      }
      detail += "; positive control \"" + std::string(c.control) + "\" succeeded";
    }
    record({c.name, c.promise, pass, detail, c.advice});
  }
}

void exit_codes() {
  for (const DWORD code : {0ul, 3ul, 3221225477ul}) {
    const std::string name = "the child's exit code " + std::to_string(code) + " is the helper's";
    const Finished f = run(name, {"exit", std::to_string(code)});
    record({name, "the helper exits with the command's full 32-bit exit code",
            child_ran(f) && f.exit == code,
            "helper exited " + std::to_string(f.exit) +
                (child_ran(f) ? "" : ", the child never ran") + "; stderr: " + f.err,
            "return GetExitCodeProcess of the child unchanged"});
  }
}

// A handle the caller let the helper inherit must not reach the child. Only
// what reaches leak.txt counts: in the child the same value may name a handle
// of its own.
void inherited_handle() {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const std::wstring path = g.sibling + L"\\leak.txt";
  const std::string name = "the child cannot use the caller's extra inheritable handle";
  Finished control, f;
  {
    const Handle leak(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                  CREATE_ALWAYS, 0, nullptr));
    const RunOptions o{.extra = {leak.get()}};
    control = run("the child writes its own standard output", {"handle", "stdout"}, o);
    f = run(name, {"handle", std::to_string(reinterpret_cast<ULONG_PTR>(leak.get()))}, o);
  }
  const bool wrote = !slurp(path).empty();
  record(
      {name, "the child inherits exactly its three standard handles",
       did(control) && child_ran(f) && !wrote,
       "own stdout: " + seen(control) + "; the caller's handle: " + seen(f) +
           (wrote ? "; leak.txt WAS written" : "; leak.txt untouched"),
       "start the child with PROC_THREAD_ATTRIBUTE_HANDLE_LIST naming only its standard handles"});
}

// The suite plants links itself: elevated, it is not bound by the rules a
// sandboxed creator meets.
bool plant_junction(const std::wstring& link, const std::wstring& target) {
  return did(execute({{g.probe, L"junction", link, target}, As::kElevated}));
}

json g_junction = {{"status", "the workspace junction check did not get that far"}};

// A run refused before any grant: the helper's exit, its own message, and no
// child.
bool refused(const Finished& f, const std::string& said) {
  return !child_ran(f) && f.exit == kHelperFailed && f.err.find(said) != std::string::npos;
}

// A link out of the workspace, of each kind, alone: the run stops before any
// grant, and the audit after it finds nothing granted on the target. A
// junction that stays inside does not stop it. Then each awkward link alone
// (a loop or a dangling link beside the others would hide their answers).
void workspace_junctions() {
  const std::wstring links = g.ws + L"\\links";
  const Finally tidy{[&] { remove_tree(links); }};
  CreateDirectoryW(links.c_str(), nullptr);
  CreateDirectoryW((g.ws + L"\\inner").c_str(), nullptr);
  spill(g.ws + L"\\inner\\inner.txt", "inner");
  struct Planted {
    const char* name;
    const wchar_t* link;
    std::function<bool(const std::wstring&)> plant;
    bool out;
  };
  const std::vector<Planted> planted = {
      {"a junction out of the workspace", L"out",
       [](const std::wstring& link) { return plant_junction(link, g.target); }, true},
      {"a directory symbolic link out of the workspace", L"dir-link",
       [](const std::wstring& link) {
         return CreateSymbolicLinkW(link.c_str(), g.target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
       },
       true},
      {"a file symbolic link out of the workspace", L"file-link",
       [](const std::wstring& link) {
         return CreateSymbolicLinkW(link.c_str(), (g.target + L"\\keep.txt").c_str(), 0);
       },
       true},
      {"a junction that stays in the workspace", L"in",
       [](const std::wstring& link) { return plant_junction(link, g.ws + L"\\inner"); }, false},
  };
  for (const Planted& p : planted) {
    const std::wstring link = links + L"\\" + p.link;
    if (!p.plant(link)) {
      record({p.name, "the suite can plant its fixtures", false,
              "the suite could not plant it: error " + std::to_string(GetLastError()),
              "nothing: a fault of the suite"});
      continue;
    }
    const std::string said = "a grant would follow link ";
    if (p.out) {
      const Finished f =
          run(p.name, {"write", "{ws}\\links\\" + u8(p.link) + "\\through.txt"}, {.write = true});
      const bool stopped = refused(f, said) && f.err.find(u8(p.link) + " to ") != std::string::npos;
      if (p.link == std::wstring(L"out")) {
        g_junction = {{"status", "measured"},
                      {"the helper refused a run whose workspace held it", stopped},
                      {"the target carried the identity's entry after that run",
                       reached(g.target, g.ids[1][0].sid)}};
      }
      record({std::string(p.name) + " stops the run before any grant",
              "a run grants nothing through a link to what it does not grant", stopped,
              seen(f) + "; stderr: " + f.err,
              "walk the paths to grant without following links and refuse, naming the link and "
              "its target, any link that leads outside them"});
    } else {
      const Finished f = run(p.name, {"read", "{ws}\\links\\in\\inner.txt"}, {.write = true});
      record({std::string(p.name) + " does not stop the run",
              "a link whose target lies inside the granted paths is fine", did(f),
              seen(f) + "; stderr: " + f.err,
              "compare a link's canonical target with the canonical granted paths"});
    }
    if (!RemoveDirectoryW(link.c_str())) DeleteFileW(link.c_str());
  }
  remove_tree(g.ws + L"\\inner");

  // The helper's own directories, as the helper finds them: never granted
  // for writing, and the state directory not even for reading.
  const std::wstring helper_dir = g.helper.substr(0, g.helper.rfind(L'\\'));
  const std::wstring state_parent = g.state.substr(0, g.state.rfind(L'\\'));
  for (const auto& [name, workspace, write, said] :
       {std::tuple{"a workspace_write run on the helper's own directory", &helper_dir, true,
                   " covers the helper's own directory "},
        std::tuple{"a read_only run on a directory holding the state directory", &state_parent,
                   false, " overlaps the sandbox state directory "}}) {
    const Finished f = run(name, {"exit", "0"}, {.write = write, .workspace = workspace});
    record({std::string(name) + " is refused", "no grant reaches the helper or its state",
            refused(f, said), seen(f) + "; stderr: " + f.err,
            "refuse, before any grant, a workspace or root over the state directory or a Modify "
            "grant over the helper's directory"});
  }

  struct Awkward {
    const char* name;
    std::wstring target;
  };
  for (const Awkward& a : {Awkward{"a junction loop in the workspace", links},
                           Awkward{"a dangling junction in the workspace", links + L"\\nowhere"}}) {
    if (!plant_junction(links + L"\\link", a.target)) {
      record({a.name, "the suite can plant its fixtures", false, "the suite could not plant it",
              "nothing: a fault of the suite"});
      continue;
    }
    const Finished r = run(a.name, {"read", "{ws}\\data.txt"}, {.write = true});
    const bool loud =
        r.exit == kHelperFailed && r.err.find("workspace ACL grant failed") != std::string::npos;
    record({std::string(a.name) + " is granted without following it, or refused loudly",
            "grants end in time and say so when they fail", did(r) || loud, seen(r),
            "skip reparse points when granting, or refuse the workspace with a message"});
    RemoveDirectoryW((links + L"\\link").c_str());
  }
}

// What the child leaves in TEMP goes with it, links as links: a junction in
// TEMP to the workspace, TEMP itself made a junction to the workspace, and odd
// names. The workspace must survive each.
void temp_links_and_names(json& m) {
  struct Plant {
    const char* name;
    std::vector<std::string> probe;
  };
  const std::string keep = slurp(g.ws + L"\\data.txt");
  for (const Plant& p :
       {Plant{"a junction in TEMP to the workspace", {"junction", "%TEMP%\\ws", "{ws}"}},
        Plant{"TEMP itself made a junction to the workspace", {"junction", "%TEMP%", "{ws}"}}}) {
    const Finished f = run(p.name, p.probe, {.write = true});
    m[p.name] = outcome(f);
    const bool intact = slurp(g.ws + L"\\data.txt") == keep && !keep.empty();
    if (could_not(f) && intact) {
      skip(std::string(p.name) + ": the workspace survives",
           "the child could not plant it: " + seen(f));
      continue;
    }
    record({std::string(p.name) + ": the workspace survives the temporary directory's removal",
            "removing the temporary directory never follows a link", did(f) && intact,
            seen(f) + "; workspace file " + (intact ? "intact" : "GONE or changed"),
            "remove links in the temporary directory as links, never descend into them"});
  }
  const Finished odd = run("odd names in TEMP", {"odd-names", "%TEMP%"}, {.write = true});
  record({"files with trailing dots, device names, long paths and lone surrogates leave with TEMP",
          "the temporary directory is removed whatever names the child gave",
          did(odd) && !exists(g.state + L"\\tmp\\" + std::to_wstring(odd.pid)), seen(odd),
          "remove on \\\\?\\ paths with names kept as UTF-16"});
}

void locked_file() {
  const Identity& id = g.ids[1][0];
  const std::wstring locked = g.ws + L"\\locked.txt";
  const Finished f = run("a file whose access list the user cannot change",
                         {"lockdown", "{ws}\\locked.txt"}, {.write = true, .audit = false});
  const bool still = reached(locked, id.sid);
  const bool lease = exists(g.state + L"\\acl-leases\\" + id.name + L".json");
  const bool loud = f.err.find("workspace ACL cleanup failed") != std::string::npos;
  g_suite.report["findings"].push_back(
      {{"locked file", "helper exit " + std::to_string(f.exit) +
                           ", identity entry left: " + (still ? "yes" : "no") +
                           ", lease kept: " + (lease ? "yes" : "no") + ", stderr: " + f.err}});
  if (!exists(locked)) {
    record({"a child-made file the user cannot re-permission", "the child can make its own files",
            false, "the child could not make it: " + seen(f), "see the workspace_write checks"});
  } else {
    record({"a child-made file the user cannot re-permission does not silently keep a grant",
            "revocation either removes every entry or fails loudly (exit 77) and keeps the lease",
            !still || (loud && lease && f.exit == kHelperFailed),
            std::string("entry left: ") + (still ? "yes" : "no") +
                "; reported: " + (loud ? "yes" : "no") + "; lease kept: " + (lease ? "yes" : "no"),
            "report a failed revocation (workspace ACL cleanup failed ...) and keep the lease"});
  }
  remove_tree(locked);
  const Finished next =
      run("the next run repairs what the locked file left", {"exit", "0"}, {.write = true});
  record({"the next run after a refused revocation runs", "a kept lease is repaired, not a wedge",
          did(next), seen(next), "revoke a kept lease first and go on"});
}

// Keystrokes and Ctrl+Break from the child must not outlive the run.
void console_events() {
  FlushConsoleInputBuffer(g.console_input.get());
  const Finished f =
      run("the child writes keystrokes into the console input", {"inject"}, {.write = true});
  std::vector<INPUT_RECORD> records(4096);
  DWORD got = 0;
  PeekConsoleInputW(g.console_input.get(), records.data(), static_cast<DWORD>(records.size()),
                    &got);
  std::wstring typed;
  for (DWORD i = 0; i < got; ++i) {
    if (records[i].EventType == KEY_EVENT) typed += records[i].Event.KeyEvent.uChar.UnicodeChar;
  }
  FlushConsoleInputBuffer(g.console_input.get());
  const bool landed = typed.find(L"tessarin-acceptance-injected") != std::wstring::npos;
  record({"keystrokes the child writes do not wait in the caller's console",
          "nothing the child does runs unconfined after the helper exits", child_ran(f) && !landed,
          "the child's WriteConsoleInputW: " + seen(f) +
              (landed ? "; its text was waiting in the caller's console input" : ""),
          "give the child no handle to the caller's console input: its own pseudo console or "
          "none, and standard input from a pipe or the null device"});

  const std::wstring beat = g.ws + L"\\break-beat.txt";
  const Finished b = run("the child sends Ctrl+Break to the console",
                         {"break", "{ws}\\break-beat.txt"}, {.write = true});
  const std::string before = slurp(beat);
  Sleep(1500);
  // A child refused the event has nothing to prove; the audit still runs.
  record({"after Ctrl+Break the helper still ends the tree and revokes",
          "console control events never stop the clean-up",
          (did(b) || (child_ran(b) && b.exit == kDenied)) && slurp(beat) == before,
          seen(b) + (slurp(beat) == before ? "" : "; the grandchild still beats"),
          "install a console control handler that returns TRUE for Ctrl+C and Ctrl+Break"});
  DeleteFileW(beat.c_str());
}

// The caller dies, or the helper itself is killed: the tree must go.
void dying_caller_and_helper() {
  for (const bool kill_helper : {false, true}) {
    const std::wstring b1 = g.ws + L"\\beat1.txt", b2 = g.ws + L"\\beat2.txt";
    Started caller =
        start({{g.probe, L"hold", g.io + L"\\never", L"0"}, As::kUser, false, false, true});
    RunOptions o{.write = true, .audit = !kill_helper, .caller = &caller};
    o.during = [&](Started& helper) {
      while_running(helper, 100, 60000, [&] { return exists(b1) && exists(b2); });
      TerminateProcess(kill_helper ? helper.process.get() : caller.process.get(), 1);
    };
    const std::string name =
        kill_helper ? "the helper killed mid-run" : "the caller killed mid-run";
    run(name, {"tree", "{ws}\\beat1.txt", "{ws}\\beat2.txt"}, o);
    const std::string one = slurp(b1), two = slurp(b2);
    Sleep(1500);
    record({name + " ends the child and its grandchild",
            "the command's tree dies with the caller and with the helper",
            !one.empty() && !two.empty() && slurp(b1) == one && slurp(b2) == two,
            one.empty() || two.empty()
                ? "the tree never started beating"
                : std::string("child beat ") + (slurp(b1) == one ? "stopped" : "GOES ON") +
                      ", grandchild beat " + (slurp(b2) == two ? "stopped" : "GOES ON"),
            "keep the tree in a kill-on-close job and watch the caller's handle"});
    TerminateProcess(caller.process.get(), 1);
    DeleteFileW(b1.c_str());
    DeleteFileW(b2.c_str());
    if (kill_helper) {
      const Finished next =
          run("the next run repairs what the killed helper left", {"exit", "0"}, {.write = true});
      record({"the next run after a killed helper runs", "a killed run is repaired, not a wedge",
              did(next), seen(next), "revoke the dead run's lease first and go on"});
    }
  }
}

// Closing the helper's console window ends the tree and is reported as a
// close, within the seconds the system gives a closing console, with every
// grant revoked. The grandchild has no console, so only the helper's job can
// stop its beat.
void console_close() {
  const std::wstring b1 = g.ws + L"\\close-beat1.txt", b2 = g.ws + L"\\close-beat2.txt";
  Finished closer;
  RunOptions o{.write = true, .own_console = true};
  o.during = [&](Started& helper) {
    while_running(helper, 100, 60000, [&] { return exists(b1) && exists(b2); });
    closer = execute({{g.probe, L"close-console", std::to_wstring(helper.pid)}});
  };
  const Finished f = run("the helper's console closed mid-run",
                         {"detached-tree", "{ws}\\close-beat1.txt", "{ws}\\close-beat2.txt"}, o);
  const std::string one = slurp(b1), two = slurp(b2);
  Sleep(1500);
  const bool stopped = !one.empty() && !two.empty() && slurp(b1) == one && slurp(b2) == two;
  const bool reported =
      f.exit == kHelperFailed &&
      f.err.find("console closed; terminated the sandbox process tree") != std::string::npos;
  record({"closing the helper's console ends the tree and says so",
          "a console close ends the command's tree and is never reported as the command's own "
          "exit code",
          child_ran(f) && closer.exit == kAllowed && stopped && reported,
          "the close: " + (closer.exit == kAllowed ? std::string("posted") : seen(closer)) +
              "; the run: " + seen(f) + "; grandchild beat " +
              (one.empty() || two.empty() ? "never started"
               : slurp(b2) == two         ? "stopped"
                                          : "GOES ON"),
          "act on CTRL_CLOSE_EVENT alone: end the job, let the main thread revoke within the "
          "system's seconds, and report the close with 77"});
  DeleteFileW(b1.c_str());
  DeleteFileW(b2.c_str());
}

// Ctrl+C on the helper's console while it grants: no child is there yet to
// take it, so none may start, and what was granted is revoked. The generated
// tree keeps icacls busy for seconds; the lease appears just before the first
// grant.
void interrupt_during_grants() {
  if (!exists(g.tree)) {
    record({"Ctrl+C during the grants (the generated tree is there)",
            "the suite's own fixtures hold", false, "the measurements made no tree",
            "nothing: this is a fault of the suite"});
    return;
  }
  const std::wstring lease = g.state + L"\\acl-leases\\" + g.ids[1][0].name + L".json";
  Finished sender;
  RunOptions o{.write = true, .workspace = &g.tree, .own_console = true};
  o.during = [&](Started& helper) {
    while_running(helper, 10, 30000, [&] { return exists(lease); });
    sender = execute({{g.probe, L"interrupt-console", std::to_wstring(helper.pid)}});
  };
  const Finished f = run("Ctrl+C on the helper's console during the grants", {"exit", "0"}, o);
  const bool reported =
      f.exit == kHelperFailed &&
      f.err.find("interrupted before the sandbox process started") != std::string::npos;
  record({"Ctrl+C during the grants starts no child and says so",
          "a user's interrupt before the command starts keeps it from running",
          sender.exit == kAllowed && !child_ran(f) && reported,
          "the Ctrl+C: " + (sender.exit == kAllowed ? std::string("sent") : seen(sender)) +
              "; the run: " + seen(f) + (child_ran(f) ? "; the child RAN" : ""),
          "keep a Ctrl+C that comes while no job is named, end the job as soon as it is named, "
          "and report the interrupt with 77"});
}

// A powershell.exe or icacls.exe on PATH or beside the helper is never
// started, a userenv.dll beside it is never loaded (this one is no DLL at
// all: loading it would fail the run), and a firewall module first on
// PSModulePath is never used.
void planted_tools() {
  const std::wstring beside = g.helper.substr(0, g.helper.find_last_of(L'\\'));
  const std::wstring module = g.plant + L"\\NetSecurity", mark = g.plant + L"\\planted-ran.txt";
  std::vector<std::wstring> planted;
  const Finally tidy{[&] {
    for (const auto& path : planted) DeleteFileW(path.c_str());
    RemoveDirectoryW(module.c_str());
    DeleteFileW(mark.c_str());
    DeleteFileW((beside + L"\\planted-ran.txt").c_str());
  }};
  for (const auto& dir : {g.plant, beside}) {
    for (const wchar_t* tool : {L"powershell.exe", L"icacls.exe"}) {
      planted.push_back(dir + L"\\" + tool);
      CopyFileW(g.probe.c_str(), planted.back().c_str(), FALSE);
    }
  }
  planted.push_back(beside + L"\\userenv.dll");
  spill(planted.back(), "MZ: not a library");
  CreateDirectoryW(module.c_str(), nullptr);
  planted.push_back(module + L"\\NetSecurity.psm1");
  spill(planted.back(), "function Get-NetFirewallRule { Set-Content -LiteralPath '" + u8(mark) +
                            "' -Value ran }\r\n");
  std::wstring environment;
  wchar_t* const block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry; entry += std::wcslen(entry) + 1) {
    std::wstring text = entry;
    if (_wcsnicmp(entry, L"PATH=", 5) == 0) text = L"PATH=" + g.plant + L";" + text.substr(5);
    if (_wcsnicmp(entry, L"PSModulePath=", 13) == 0) {
      text = L"PSModulePath=" + g.plant + L";" + text.substr(13);
    }
    environment += text + L'\0';
  }
  environment += L'\0';
  FreeEnvironmentStringsW(block);
  // The control: the system's PowerShell, given that environment by anyone
  // else, does load the planted module.
  Launch control{{system_dir() + L"\\WindowsPowerShell\\v1.0\\powershell.exe", L"-NoProfile",
                  L"-NonInteractive", L"-Command", L"Get-NetFirewallRule -Name none"}};
  control.environment = &environment;
  execute(control);
  const bool module_loads = exists(mark);
  DeleteFileW(mark.c_str());
  const Finished s =
      execute({{g.helper, L"status"}, As::kUser, false, false, false, {}, &environment});
  const Finished r =
      run("a run with planted tools", {"read", "{ws}\\data.txt"}, {.environment = &environment});
  const bool ran = exists(mark) || exists(beside + L"\\planted-ran.txt");
  record(
      {"a planted powershell.exe, icacls.exe (on PATH, beside the helper), userenv.dll or "
       "firewall module is never used",
       "tools, DLLs and PowerShell's modules come from the system directory",
       module_loads && !ran && s.out == kReadyLine && did(r),
       std::string("planted tool or module started: ") + (ran ? "YES" : "no") +
           "; the module loads without the helper (control): " + (module_loads ? "yes" : "NO") +
           "; status: " + s.out + s.err + "; run: " + seen(r),
       "start <system>\\icacls.exe and <system>\\WindowsPowerShell\\v1.0\\powershell.exe first, "
       "load userenv.dll from the system directory only, and give PowerShell a PSModulePath "
       "of the system's modules alone"});
}

// ---- the table of measurements ---------------------------------------------------------
// Each row is one operation run through run(), execute() or the in-process
// firewall read; its figures go into the report as they are, and the design
// questions below read them from there.

// The phases of one tracked run, from the processes its tree started. Grants
// and revocations are told apart by their place around the child; the helper
// grants the workspace, each writable root, then the temporary directory, and
// revokes them in the same order (a stale lease's repair would come first and
// read as grants: the audit of the run before makes sure there is none).
json phases(const Finished& f) {
  json out = {{"status", "never ran (" + seen(f) + ")"}};
  const auto is = [](const Event& e, const wchar_t* image) { return e.image == image; };
  const auto child = std::find_if(f.events.begin(), f.events.end(),
                                  [&](const Event& e) { return is(e, L"tessarin-probe.exe"); });
  if (!child_ran(f)) return out;
  if (child == f.events.end()) return {{"status", "the suite's job saw no child (nested jobs?)"}};
  out["status"] = "measured";
  const Event& helper = f.events.front();
  const char* names[] = {"workspace", "writable root", "temporary directory"};
  double last_grant = helper.start, last_revocation = child->end, icacls = 0, ps = 0;
  int grants = 0, revocations = 0;
  json list = json::array();
  const auto put = [&](const std::string& phase, double from, double to) {
    list.push_back({{"phase", phase}, {"seconds", round3(to - from)}});
  };
  for (const Event& e : f.events) {
    if (is(e, L"powershell.exe")) {
      put("readiness PowerShell", e.start, e.end);
      ps += e.end - e.start;
    } else if (is(e, L"icacls.exe")) {
      const bool grant = e.start < child->start;
      int& n = grant ? grants : revocations;
      put((grant ? "grant " : "revocation ") + (n < 3 ? std::string(names[n]) : std::to_string(n)),
          e.start, e.end);
      ++n;
      (grant ? last_grant : last_revocation) = e.end;
      icacls += e.end - e.start;
    }
  }
  put("launch (last grant to the child's start)", last_grant, child->start);
  put("the child", child->start, child->end);
  put("temporary directory removal and exit (last revocation to the helper's end)", last_revocation,
      helper.end);
  out["phases"] = list;
  out["total seconds"] = round3(helper.end - helper.start);
  out["PowerShell seconds"] = round3(ps);
  out["icacls seconds"] = round3(icacls);
  out["processes"] = f.events.size();
  return out;
}

json phases_of_empty_workspace() {
  const std::wstring empty = g.root + L"\\empty-workspace";
  CreateDirectoryW(empty.c_str(), nullptr);
  return phases(run("a tracked run on an empty workspace", {"exit", "0"},
                    {.write = true, .track = true, .workspace = &empty}));
}

// 10 files in each of 2,000 directories (50 with 39 below each), or five
// times as many with --large-tree: the shape of a package tree.
long make_tree() {
  const int tops = g_suite.large_tree ? 250 : 50;
  long files = 0;
  CreateDirectoryW(g.tree.c_str(), nullptr);
  for (int top = 0; top < tops; ++top) {
    const std::wstring dir = g.tree + L"\\t" + std::to_wstring(top);
    CreateDirectoryW(dir.c_str(), nullptr);
    for (int sub = -1; sub < 39; ++sub) {
      const std::wstring here = sub < 0 ? dir : dir + L"\\s" + std::to_wstring(sub);
      CreateDirectoryW(here.c_str(), nullptr);
      for (int file = 0; file < 10; ++file, ++files) {
        spill(here + L"\\f" + std::to_wstring(file) + L".js", "module.exports = 1;\n");
      }
    }
  }
  return files;
}

json phases_of_generated_workspace() {
  LARGE_INTEGER t0{};
  QueryPerformanceCounter(&t0);
  const long files = make_tree();
  const double made = since(t0);
  json out = phases(run("a tracked run on a generated workspace", {"exit", "0"},
                        {.write = true, .track = true, .workspace = &g.tree}));
  out["files"] = files;
  out["directories"] = files / 10;
  out["seconds to make the tree"] = round3(made);
  return out;
}

// The design's grant and revocation (icacls /T) against a root-only pair that
// leaves the children to inheritance, on the generated tree with a junction
// planted in it, for the suite's throwaway SID.
json tree_grants(bool recursive) {
  const std::wstring link = g.tree + L"\\zz-link";
  if (!exists(g.tree)) return {{"status", "the generated tree is missing"}};
  const bool planted = plant_junction(link, g.target);
  const Finally unlink{[&] { RemoveDirectoryW(link.c_str()); }};
  const std::wstring sid = L"*" + w(g.question_sid);
  std::vector<std::wstring> grant = {L"/grant", sid + L":(OI)(CI)M", L"/C", L"/Q"};
  std::vector<std::wstring> revoke = {L"/remove:g", sid, L"/C", L"/Q"};
  if (recursive) grant.push_back(L"/T"), revoke.push_back(L"/T");
  const Finished granted = icacls(g.tree, grant);
  const bool through =
      reached(g.target, g.question_sid) || reached(g.target + L"\\keep.txt", g.question_sid);
  const bool deep = reached((g.tree + L"\\t0\\s38\\f9.js"), g.question_sid);
  const Finished revoked = icacls(g.tree, revoke);
  std::vector<std::string> left;
  find_aces(g.tree, g.question_sid, left);
  const bool target_left =
      reached(g.target, g.question_sid) || reached(g.target + L"\\keep.txt", g.question_sid);
  return {{"status", granted.exit == 0 && revoked.exit == 0 ? "measured" : "icacls failed"},
          {"grant seconds", round3(granted.seconds)},
          {"grant exit", granted.exit},
          {"grant stderr", granted.err.substr(0, 400)},
          {"revocation seconds", round3(revoked.seconds)},
          {"revocation exit", revoked.exit},
          {"a file two directories down received the entry", deep},
          {"the junction led the grant to its target",
           planted ? json(through) : json("the suite could not plant it")},
          {"entries left in the tree after revocation", left.size()},
          {"entry left on the junction's target after revocation", target_left}};
}

// The readiness check's PowerShell, timed inside a real `status`, against
// reading the same four rules in process.
json readiness_reads() {
  const Finished status = execute({{g.helper, L"status"}, As::kUser, false, true});
  json out = {
      {"status", status.out == kReadyLine ? "measured" : "status was not ready: " + status.out}};
  for (const Event& e : status.events) {
    if (e.image == L"powershell.exe") out["PowerShell seconds"] = round3(e.end - e.start);
  }
  out["status seconds"] = round3(status.seconds);
  out["processes seen"] = status.events.size();
  if (!out.contains("PowerShell seconds")) out["status"] = "the suite's job saw no PowerShell";
  LARGE_INTEGER t0{};
  QueryPerformanceCounter(&t0);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CLSID clsid{};
  INetFwPolicy2* policy = nullptr;
  INetFwRules* rules = nullptr;
  if (FAILED(CLSIDFromProgID(L"HNetCfg.FwPolicy2", &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2),
                              reinterpret_cast<void**>(&policy))) ||
      FAILED(policy->get_Rules(&rules))) {
    if (policy) policy->Release();
    out["status"] = "INetFwPolicy2 could not be read";
    return out;
  }
  bool all = true;
  for (const Identity& id : {g.ids[0][0], g.ids[1][0]}) {
    for (const wchar_t* direction : {L"Inbound", L"Outbound"}) {
      // The product gives its rules the same name and display name, so the
      // COM name (the display name) finds them either way.
      BSTR name = SysAllocString((L"Tessarin Sandbox " + id.name + L" " + direction).c_str());
      INetFwRule* rule = nullptr;
      VARIANT_BOOL enabled = VARIANT_FALSE;
      NET_FW_ACTION action = NET_FW_ACTION_ALLOW;
      BSTR users = nullptr;
      INetFwRule3* rule3 = nullptr;
      const bool found = SUCCEEDED(rules->Item(name, &rule));
      if (found) {
        rule->get_Enabled(&enabled);
        rule->get_Action(&action);
        if (SUCCEEDED(
                rule->QueryInterface(__uuidof(INetFwRule3), reinterpret_cast<void**>(&rule3)))) {
          rule3->get_LocalUserAuthorizedList(&users);
          rule3->Release();
        }
        rule->Release();
      }
      all = all && found && enabled == VARIANT_TRUE && action == NET_FW_ACTION_BLOCK &&
            users != nullptr && u8(users).find(id.sid) != std::string::npos;
      SysFreeString(users);
      SysFreeString(name);
    }
  }
  out["in-process seconds"] = round3(since(t0));
  long count = 0;
  rules->get_Count(&count);
  out["firewall rules on the machine"] = count;
  out["in process: all four rules present, enabled, blocking, for the identity's SID"] = all;
  out["the two agree"] = all == (status.out == kReadyLine);
  for (const auto& [profile, label] : {std::pair{NET_FW_PROFILE2_DOMAIN, "domain"},
                                       {NET_FW_PROFILE2_PRIVATE, "private"},
                                       {NET_FW_PROFILE2_PUBLIC, "public"}}) {
    VARIANT_BOOL on = VARIANT_FALSE;
    policy->get_FirewallEnabled(profile, &on);
    out["firewall on: " + std::string(label)] = on == VARIANT_TRUE;
  }
  rules->Release();
  policy->Release();
  CoUninitialize();
  return out;
}

// Outbound from the suite's own container, offline (no capability) and
// online (the helper's two), under no rule, a -LocalUser block rule as setup
// makes them, the same rule disabled, and a -Package rule instead. The rules
// are the suite's and go on every path; nothing touches the helper's.
// The rules of these groups go, and a second look finds none (exit 1
// otherwise).
Finished remove_rules(const std::wstring& groups) {
  const std::wstring rules =
      L"Get-NetFirewallRule -Group " + groups + L" -ErrorAction SilentlyContinue";
  return powershell(rules + L" | Remove-NetFirewallRule; if (@(" + rules + L").Count) { exit 1 }");
}
Finished remove_suite_rules() {
  return remove_rules(L"'" + std::wstring(kSuiteRules) + L"'");
}

json firewall_rules() {
  if (!g.network) {
    unreachable("the firewall measurement reaches its target");
    return {{"status", "this machine cannot reach " + g.net_target}};
  }
  const std::wstring rule = L"'" + std::wstring(kSuiteRules) + L" Question'";
  const std::wstring common = L" -DisplayName " + rule + L" -Group '" + kSuiteRules +
                              L"' -Direction Outbound -Action Block -Profile Any ";
  const std::wstring sid = w(g.question_sid);
  const Finally remove{[&] {
    const Finished gone = remove_suite_rules();
    record({"the suite's temporary firewall rule is removed", "the suite leaves no rule behind",
            gone.exit == 0,
            "removal and a second look: exit " + std::to_string(gone.exit) + " " + gone.err,
            "nothing: remove the rule by hand (tessarin-acceptance.exe --cleanup)"});
  }};
  const std::pair<const char*, std::wstring> states[] = {
      {"no rule", L""},
      {"-LocalUser rule", L"New-NetFirewallRule -Name " + rule + common +
                              L"-LocalUser 'D:(A;;CC;;;" + sid + L")' | Out-Null"},
      {"-LocalUser rule disabled", L"Set-NetFirewallRule -Name " + rule + L" -Enabled False"},
      {"-Package rule", L"Remove-NetFirewallRule -Name " + rule + L"; New-NetFirewallRule -Name " +
                            rule + common + L"-Package '" + sid + L"' | Out-Null"}};
  json out = {{"status", "measured"}};
  for (const auto& [state, script] : states) {
    if (!script.empty()) {
      const Finished made = powershell(script);
      if (made.exit != 0) {
        out["status"] = std::string("PowerShell failed at ") + state + ": " + made.err;
        return out;
      }
    }
    for (const bool online : {false, true}) {
      const Finished f =
          execute({{g.probe, L"connect", w(g.net_target)}, As::kContainer, online}, 60000);
      out[std::string(state) + (online ? ", online" : ", offline")] = outcome(f);
    }
  }
  return out;
}

// Junctions a sandboxed child can make: from its TEMP to a directory it
// cannot write, and to the workspace (with the checks that the workspace
// survives the temporary directory's removal).
json child_junctions() {
  json out = {{"status", "measured"}};
  const std::string keep = slurp(g.target + L"\\keep.txt");
  const Finished f = run("a junction in TEMP to a directory the child cannot write",
                         {"junction", "%TEMP%\\out", "{target}"}, {.write = true});
  out["a junction in TEMP to a directory the child cannot write"] = outcome(f);
  if (did(f)) {
    record({"a junction in TEMP to an unwritable directory: its target survives",
            "removing the temporary directory never follows a link",
            slurp(g.target + L"\\keep.txt") == keep, seen(f),
            "remove links in the temporary directory as links, never descend into them"});
  }
  temp_links_and_names(out);
  return out;
}

// A file of the workspace that is also a file outside it, as package stores
// make them: one file, one access list, whatever its name.
json hard_link() {
  const std::wstring outside = g.outside + L"\\linked.txt", inside = g.ws + L"\\linked.txt";
  spill(outside, "outside\n");
  const Finally unlink{[&] {
    DeleteFileW(inside.c_str());
    DeleteFileW(outside.c_str());
  }};
  const auto before = dacl_text(outside);
  if (!CreateHardLinkW(inside.c_str(), outside.c_str(), nullptr)) {
    return {
        {"status", "the suite could not make the hard link: " + std::to_string(GetLastError())}};
  }
  const Finished f = run("a file hard-linked from outside the workspace",
                         {"write", "{ws}\\linked.txt"}, {.write = true});
  const auto after = dacl_text(outside);
  return {{"status", child_ran(f) ? "measured" : "never ran (" + seen(f) + ")"},
          {"the child wrote the outside file through the link", outcome(f)},
          {"outside file's content changed", slurp(outside) != "outside\n"},
          {"entry left after revocation", reached(outside, g.ids[1][0].sid)},
          {"access list before", before.value_or("?")},
          {"access list after", after.value_or("?")},
          {"access list changed", before != after}};
}

// What the checks saw of the child itself: its token, and whether the
// Modify grant let it write.
json child_tokens() {
  json out = {{"status", "measured"}};
  for (const Case& c : cases()) {
    if (c.prints)
      out[c.name] =
          child_ran(g.finished[c.name]) ? g.finished[c.name].out : outcome(g.finished[c.name]);
  }
  out[kWsWrite] = outcome(g.finished[kWsWrite]);
  return out;
}

struct Measurement {
  const char* name;
  json (*take)();
};
// The rows in order; the questions name their figures by these.
enum Row {
  kEmptyPhases,
  kTreePhases,
  kTreeRecursive,
  kTreeRootOnly,
  kReadiness,
  kFirewall,
  kChildJunctions,
  kHardLink,
  kChildToken,
  kHelperJunction,
  kRows
};
const Measurement kMeasurements[kRows] = {
    {"phases of a run: empty workspace", phases_of_empty_workspace},
    {"phases of a run: generated workspace", phases_of_generated_workspace},
    {"icacls /T grant and revocation on the generated tree", [] { return tree_grants(true); }},
    {"root-only grant and revocation on the generated tree", [] { return tree_grants(false); }},
    {"readiness: PowerShell against INetFwPolicy2", readiness_reads},
    {"outbound from the suite's container under each firewall rule", firewall_rules},
    {"junctions a sandboxed child can make", child_junctions},
    {"a file hard-linked from outside the workspace", hard_link},
    {"the child's token seen from inside, and its write under a Modify grant", child_tokens},
    {"the helper's run on a workspace holding a junction out", [] { return g_junction; }},
};

// A measurement's figures, if it was taken in full.
const json* taken(Row row) {
  const auto found = g_suite.measured.find(kMeasurements[row].name);
  return found != g_suite.measured.end() && found->second.value("status", "") == "measured"
             ? &found->second
             : nullptr;
}

void take_measurements() {
  for (const Measurement& m : kMeasurements) {
    std::printf("MEASURE  %s\n", m.name);
    std::fflush(stdout);
    json figures = {{"measurement", m.name}};
    figures.update(m.take());
    // Figures from a child that never ran answer nothing.
    for (const auto& [key, value] : figures.items()) {
      if (value.is_string() && value.get<std::string>().rfind("never ran", 0) == 0 &&
          figures["status"] == "measured") {
        figures["status"] = "incomplete: " + key + " " + value.get<std::string>();
        break;
      }
    }
    std::printf("         %s\n",
                figures.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    g_suite.measured[m.name] = figures;
  }
}

// ---- the design questions ----------------------------------------------------------------
// Each answers from the figures alone, and says what the helper should do.

struct Answer {
  std::string answer, should;
};
const Answer kUnsettled = {"Not settled: its figures are missing or incomplete (see them)",
                           "nothing until it runs"};
std::string said(const json& m, const char* key) {
  return m.contains(key) ? (m[key].is_string() ? m[key].get<std::string>() : m[key].dump()) : "?";
}
bool is(const json& m, const char* key) {
  return m.contains(key) && m[key] == true;
}

Answer modify_grant() {
  const Finished& f = g.finished[kWsWrite];
  if (!did(f) && !could_not(f)) return {"Not settled: " + seen(f), kUnsettled.should};
  if (did(f)) {
    return {"Yes: with the Modify grant alone the container created and deleted a workspace file.",
            "keep the DACL-only grant and add no Low label, which would open the workspace to "
            "every Low-integrity process of the user"};
  }
  return {"No: the write was refused (" + verdict(f.exit) + ").",
          "give granted paths a Low mandatory label for the run and restore it at revocation"};
}

Answer run_cost() {
  const json *empty = taken(kEmptyPhases), *tree = taken(kTreePhases);
  const json *t = taken(kTreeRecursive), *root = taken(kTreeRootOnly);
  if (!empty || !tree || !t || !root) return kUnsettled;
  const auto pair = [](const json& m) {
    return double(m["grant seconds"]) + double(m["revocation seconds"]);
  };
  const bool inherits = is(*root, "a file two directories down received the entry");
  const bool tools_dominate =
      double((*tree)["icacls seconds"]) > double((*tree)["total seconds"]) / 2;
  const std::string text =
      "A run on an empty workspace takes " + said(*empty, "total seconds") + " s (PowerShell " +
      said(*empty, "PowerShell seconds") + " s, icacls " + said(*empty, "icacls seconds") +
      " s), on " + said(*tree, "files") + " files " + said(*tree, "total seconds") + " s (icacls " +
      said(*tree, "icacls seconds") + " s). On that tree a /T grant and revocation take " +
      std::to_string(round3(pair(*t))) + " s, a root-only pair " +
      std::to_string(round3(pair(*root))) + " s, whose entry " +
      (inherits ? "reached" : "did NOT reach") + " a deep file by inheritance.";
  if (tools_dominate && inherits && pair(*root) < pair(*t) / 2) {
    return {text, "grant and revoke at the root only and let inheritance carry the entry"};
  }
  return {text, tools_dominate
                    ? "cut the per-run tree walks: keep grants across runs or walk in process"
                    : "nothing for cost: the tree walks are not what a run waits for"};
}

Answer junction_reach() {
  const json *t = taken(kTreeRecursive), *root = taken(kTreeRootOnly),
             *helper = taken(kHelperJunction);
  const char* const through = "the junction led the grant to its target";
  if (!t || !root || !(*t)[through].is_boolean()) return kUnsettled;
  const bool by_t = is(*t, through), by_root = is(*root, through);
  const std::string text =
      std::string("icacls /T ") + (by_t ? "followed" : "did not follow") +
      " the junction, a "
      "root-only grant's inheritance " +
      (by_root ? "followed" : "did not follow") +
      " it, and "
      "the helper " +
      (helper ? (is(*helper, "the helper refused a run whose workspace held it") ? "refused"
                                                                                 : "did not refuse")
              : "may have refused") +
      " a run whose workspace held it. Left on the target after revocation: /T " +
      said(*t, "entry left on the junction's target after revocation") + ", root-only " +
      said(*root, "entry left on the junction's target after revocation") + ".";
  if (by_root)
    return {
        text,
        "walk the tree in process and skip reparse points, or refuse a workspace that holds one"};
  return {text, by_t ? "grant at the root only, without /T"
                     : "nothing for junctions: neither way enters them"};
}

Answer firewall_match() {
  const json* m = taken(kFirewall);
  if (!m) return kUnsettled;
  const auto out = [&](const std::string& state) { return said(*m, state.c_str()) == "allowed"; };
  if (!out("no rule, online"))
    return {"Not settled: the online control did not connect", kUnsettled.should};
  bool offline_out = false;
  for (const char* state :
       {"no rule", "-LocalUser rule", "-LocalUser rule disabled", "-Package rule"}) {
    offline_out = offline_out || out(state + std::string(", offline"));
  }
  const bool by_user = !out("-LocalUser rule, online"), by_package = !out("-Package rule, online");
  const std::string text =
      std::string("-LocalUser ") + (by_user ? "matches" : "does NOT match") +
      " the container's traffic, -Package " + (by_package ? "matches" : "does NOT match") +
      "; an offline container " +
      (offline_out ? "CONNECTED under some rule" : "was blocked under every rule");
  if (offline_out) return {text, "treat offline isolation as broken until -Package rules block it"};
  if (!by_user) {
    return {text, by_package
                      ? "key the block rules on -Package <SID>: the -LocalUser rules block nothing"
                      : "no rule form matched: do not count the rules as isolation"};
  }
  return {text, "either form works; -Package is the documented one for AppContainers"};
}

Answer readiness_cost() {
  const json* m = taken(kReadiness);
  if (!m) return kUnsettled;
  const bool agree = is(*m, "the two agree");
  return {"PowerShell " + said(*m, "PowerShell seconds") + " s, in process " +
              said(*m, "in-process seconds") + " s, with " +
              said(*m, "firewall rules on the machine") + " rules on the machine; the two " +
              (agree ? "agree" : "DISAGREE"),
          agree ? "read the four rules in process through INetFwPolicy2 instead of starting "
                  "PowerShell for every run"
                : "keep PowerShell until the in-process read is understood"};
}

Answer junction_mitigation() {
  const json* m = taken(kChildJunctions);
  if (!m) return kUnsettled;
  const std::string unwritable =
      said(*m, "a junction in TEMP to a directory the child cannot write");
  return {"to a directory it cannot write: " + unwritable + "; from TEMP to the workspace: " +
              said(*m, "a junction in TEMP to the workspace") + "; TEMP itself to the workspace: " +
              said(*m, "TEMP itself made a junction to the workspace"),
          unwritable == "allowed"
              ? "never follow a link the child made, anywhere: it can point outside every grant"
              : "keep removing TEMP without following links: a child can still point one at "
                "what it may write"};
}

Answer hard_link_reach() {
  const json* m = taken(kHardLink);
  if (!m) return kUnsettled;
  const bool wrote = said(*m, "the child wrote the outside file through the link") == "allowed";
  const bool changed = is(*m, "access list changed");
  return {std::string("the child ") + (wrote ? "wrote" : "could not write") +
              " the outside file through its workspace name; its access list " +
              (changed ? "CHANGED" : "did not change") + " across grant and revocation",
          wrote || changed ? "find files with more than one link before granting and refuse or "
                             "skip them; until then it is a documented limit"
                           : "nothing: a grant did not reach past the workspace"};
}

struct Question {
  const char* question;
  std::vector<Row> figures;
  Answer (*settle)();
};
const Question kQuestions[] = {
    {"Does a Modify grant alone let the Low-integrity container write the workspace?",
     {kChildToken},
     modify_grant},
    {"What does a run cost, and how much of it is icacls /T on a large workspace?",
     {kEmptyPhases, kTreePhases, kTreeRecursive, kTreeRootOnly},
     run_cost},
    {"Does icacls /T, or inheritance from a root-only grant, enter a junction in the workspace?",
     {kTreeRecursive, kTreeRootOnly, kHelperJunction},
     junction_reach},
    {"Does a -LocalUser rule naming the container's SID match its traffic, or is -Package needed?",
     {kFirewall},
     firewall_match},
    {"Is the per-run PowerShell readiness check worth its cost, and does an in-process read agree?",
     {kReadiness},
     readiness_cost},
    {"Can a sandboxed child create a junction to a directory it cannot write, or to the workspace "
     "from its TEMP?",
     {kChildJunctions},
     junction_mitigation},
    {"What does a grant do to a file hard-linked from outside the workspace?",
     {kHardLink},
     hard_link_reach},
};

void settle_questions() {
  for (const Question& q : kQuestions) {
    const Answer a = q.settle();
    g_suite.answered[q.question] = {{"answer", a.answer}, {"helper should", a.should}};
    std::printf("\nQUESTION  %s\nANSWER    %s\nSHOULD    %s\n", q.question, a.answer.c_str(),
                a.should.c_str());
  }
}

// ---- start-up ------------------------------------------------------------------------------

std::wstring env(const wchar_t* name) {
  std::wstring buffer(32768, L'\0');
  const DWORD n = GetEnvironmentVariableW(name, buffer.data(), 32768);
  return n > 0 && n < 32768 ? buffer.substr(0, n) : std::wstring();
}

struct Options {
  std::wstring report = L"acceptance-report.json",
               work = env(L"SystemDrive") + L"\\tessarin-acceptance";
  bool cleanup = false;
};
std::optional<Options> parse_options(int argc, wchar_t** argv) {
  Options o;
  g.net_target = "1.1.1.1:443";  // a public anycast address
  for (int i = 1; i < argc; ++i) {
    const std::wstring flag = argv[i];
    if (flag == L"--require-network") {
      g_suite.require_network = true;
    } else if (flag == L"--large-tree") {
      g_suite.large_tree = true;
    } else if (flag == L"--cleanup") {
      o.cleanup = true;
    } else if (i + 1 >= argc) {
      return std::nullopt;
    } else if (flag == L"--report") {
      o.report = argv[++i];
    } else if (flag == L"--work") {
      o.work = argv[++i];
    } else if (flag == L"--net-target") {
      g.net_target = u8(argv[++i]);
      if (!net_target::parse(argv[i])) {
        std::printf("--net-target wants <ipv4>:<port>, not %s\n", g.net_target.c_str());
        return std::nullopt;
      }
    } else {
      return std::nullopt;
    }
  }
  return o;
}

std::string refuse_reason() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") != nullptr) {
    return "this is not Windows (Wine cannot create AppContainers); run it on Windows 10 or 11";
  }
  const json& windows = g_suite.report["machine"]["windows"];
  if (!windows.is_string() || windows.get<std::string>().rfind("10.", 0) != 0) {
    return "this is not Windows 10 or 11 (version " + windows.dump() + ")";
  }
  HANDLE raw = nullptr;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return "cannot read its own token";
  const Handle token(raw);
  if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) ||
      !elevation.TokenIsElevated) {
    return "not elevated: open a terminal as administrator and run it again";
  }
  return {};
}

// What the figures depend on: Windows version, cores and the work directory's disk.
json machine(const std::wstring& work) {
  using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  const auto get = reinterpret_cast<RtlGetVersion>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  json out;
  if (get != nullptr && get(&version) == 0) {
    out["windows"] = std::to_string(version.dwMajorVersion) + "." +
                     std::to_string(version.dwMinorVersion) + "." +
                     std::to_string(version.dwBuildNumber);
  }
  out["cores"] = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  wchar_t volume[MAX_PATH] = L"", file_system[64] = L"";
  ULARGE_INTEGER free{}, total{};
  GetVolumePathNameW(work.c_str(), volume, MAX_PATH);
  GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, file_system, 64);
  GetDiskFreeSpaceExW(volume, &free, nullptr, &total);
  out["disk"] = {{"volume", u8(volume)},
                 {"file system", u8(file_system)},
                 {"size GB", total.QuadPart >> 30},
                 {"free GB", free.QuadPart >> 30}};
  const Handle device(CreateFileW((L"\\\\.\\" + std::wstring(volume).substr(0, 2)).c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
  STORAGE_PROPERTY_QUERY query{StorageDeviceSeekPenaltyProperty, PropertyStandardQuery, {0}};
  DEVICE_SEEK_PENALTY_DESCRIPTOR penalty{};
  DWORD got = 0;
  out["disk"]["seek penalty (a spinning disk)"] =
      device && DeviceIoControl(device.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                &penalty, sizeof penalty, &got, nullptr)
          ? json(penalty.IncursSeekPenalty != FALSE)
          : json("unknown");
  return out;
}

// How a caller normally runs: no administrator group, medium integrity, and
// the user (not Administrators) owning what it makes, with a default access
// list that lets the user's other processes, the helper among them, open it.
std::string make_user_token() {
  HANDLE raw = nullptr;
  OpenProcessToken(GetCurrentProcess(),
                   TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT,
                   &raw);
  const Handle own(raw);
  BYTE user[512], logon[512];
  DWORD size = 0;
  Local<PSID> admins, medium;
  ConvertStringSidToSidW(L"S-1-5-32-544", &admins.p);
  ConvertStringSidToSidW(L"S-1-16-8192", &medium.p);
  if (!GetTokenInformation(own.get(), TokenUser, user, sizeof user, &size)) {
    return "its own token: error " + std::to_string(GetLastError());
  }
  const PSID user_sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  std::string sddl = "D:(A;;GA;;;" + sid_text(user_sid) + ")(A;;GA;;;SY)";
  if (GetTokenInformation(own.get(), TokenLogonSid, logon, sizeof logon, &size)) {
    sddl += "(A;;GA;;;" + sid_text(reinterpret_cast<TOKEN_GROUPS*>(logon)->Groups[0].Sid) + ")";
  }
  Local<PSECURITY_DESCRIPTOR> descriptor;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  SID_AND_ATTRIBUTES disable{admins.p, 0};
  TOKEN_MANDATORY_LABEL label{{medium.p, SE_GROUP_INTEGRITY}};
  TOKEN_OWNER owner{user_sid};
  HANDLE made = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(w(sddl).c_str(), SDDL_REVISION_1,
                                                            &descriptor.p, nullptr) ||
      !GetSecurityDescriptorDacl(descriptor.p, &present, &dacl, &defaulted) ||
      !CreateRestrictedToken(own.get(), DISABLE_MAX_PRIVILEGE | LUA_TOKEN, 1, &disable, 0, nullptr,
                             0, nullptr, &made)) {
    return "a filtered token: error " + std::to_string(GetLastError());
  }
  g.user_token = Handle(made);
  TOKEN_DEFAULT_DACL default_dacl{dacl};
  if (!SetTokenInformation(made, TokenIntegrityLevel, &label,
                           static_cast<DWORD>(sizeof label + GetLengthSid(medium.p))) ||
      !SetTokenInformation(made, TokenOwner, &owner, sizeof owner) ||
      !SetTokenInformation(made, TokenDefaultDacl, &default_dacl, sizeof default_dacl)) {
    return "the filtered token's integrity, owner or default access list: error " +
           std::to_string(GetLastError());
  }
  return {};
}

std::string derived_sid(const std::wstring& name) {
  PSID sid = nullptr;
  if (FAILED(DeriveAppContainerSidFromAppContainerName(name.c_str(), &sid))) return {};
  const std::string text = sid_text(sid);
  FreeSid(sid);
  return text;
}

// The work directory is emptied first, so it must be one the suite made (or
// none): --work C:\Users\me must not cost anyone a profile.
std::string prepare(const std::wstring& work) {
  bool empty = true;
  list_dir(work, [&](const std::wstring&) { empty = false; });
  const DWORD attributes = GetFileAttributesW(work.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return u8(work) + " is a file: name a new or empty directory";
  }
  if (!empty && !exists(work + kWorkMarker)) {
    return u8(work) + " holds files the suite did not put there: name a new or empty directory";
  }
  g.root = work;
  remove_tree(g.root);
  g.ws = g.root + L"\\workspace";
  g.wroot = g.root + L"\\writable-root";
  g.sibling = g.root + L"\\sibling";
  g.outside = g.root + L"\\outside";
  g.target = g.outside + L"\\target";
  g.plant = g.root + L"\\plant";
  g.io = g.root + L"\\io";
  g.bin = g.root + L"\\bin";
  g.tree = g.root + L"\\tree";
  for (const auto& dir : {g.root, g.ws, g.wroot, g.sibling, g.outside, g.target, g.plant, g.io,
                          g.bin, g.root + L"\\helper"}) {
    CreateDirectoryW(dir.c_str(), nullptr);
  }
  spill(g.root + kWorkMarker, "made by tessarin-acceptance.exe\n");
  spill(g.ws + L"\\data.txt", "data");
  spill(g.sibling + L"\\secret.txt", "secret");
  spill(g.target + L"\\keep.txt", "keep");
  // The helper and the probe run from copies, so that planting beside them
  // touches nothing of the build; the probe's folder lets every container
  // package read and execute it, as a program needs to start in one.
  wchar_t self[MAX_PATH];
  const std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  const std::wstring own_dir = path.substr(0, path.find_last_of(L'\\'));
  g.helper = g.root + L"\\helper\\tessarin-sandbox.exe";
  g.probe = g.bin + L"\\tessarin-probe.exe";
  HANDLE raw = nullptr;
  BYTE user[512];
  DWORD size = 0;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw);
  GetTokenInformation(Handle(raw).get(), TokenUser, user, sizeof user, &size);
  if (!CopyFileW((own_dir + L"\\tessarin-sandbox.exe").c_str(), g.helper.c_str(), FALSE) ||
      !CopyFileW((own_dir + L"\\tessarin-probe.exe").c_str(), g.probe.c_str(), FALSE) ||
      !add_ace(g.root, sid_text(reinterpret_cast<TOKEN_USER*>(user)->User.Sid), FILE_ALL_ACCESS) ||
      !add_ace(g.bin, "S-1-15-2-1", FILE_GENERIC_READ | FILE_GENERIC_EXECUTE)) {
    return "tessarin-sandbox.exe and tessarin-probe.exe must lie beside this program, and " +
           u8(work) + " must be writable";
  }
  g.state = env(L"LOCALAPPDATA") + L"\\Tessarin\\sandbox";
  const wchar_t* presets[] = {L"ReadOnly", L"WorkspaceWrite"};
  const wchar_t* modes[] = {L"Offline", L"Online"};
  for (int p = 0; p < 2; ++p) {
    for (int m = 0; m < 2; ++m) {
      Identity& id = g.ids[p][m];
      id.name = std::wstring(L"Tessarin.Sandbox.v1.") + presets[p] + L"." + modes[m];
      id.sid = derived_sid(id.name);
    }
  }
  // What an interrupted run of the suite left goes first: its rules, then its
  // profile, made afresh.
  if (remove_suite_rules().exit != 0)
    return "a firewall rule of an earlier run could not be removed";
  DeleteAppContainerProfile(kQuestionProfile);
  PSID made = nullptr;
  if (SUCCEEDED(CreateAppContainerProfile(kQuestionProfile, kQuestionProfile, kQuestionProfile,
                                          nullptr, 0, &made))) {
    FreeSid(made);
  }
  g.question_sid = derived_sid(kQuestionProfile);
  if (g.question_sid.empty() || g.ids[1][1].sid.empty() ||
      !ConvertStringSidToSidW(w(g.question_sid).c_str(), &g.question_psid.p)) {
    return "the AppContainer SIDs could not be derived";
  }
  return {};
}

// With its output redirected (as under a workflow) the suite takes a console
// of its own, so that a child's Ctrl+Break or keystrokes reach nothing but
// this run; at a terminal it shares the terminal's and says so. The handler
// comes after: FreeConsole and AllocConsole reset the handler table.
void prepare_console() {
  DWORD mode = 0;
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (!GetConsoleMode(output, &mode)) {
    FreeConsole();
    AllocConsole();
    SetStdHandle(STD_OUTPUT_HANDLE, output);
  } else {
    std::printf(
        "note: the console checks share this terminal; the suite flushes whatever "
        "a child types into it\n");
  }
  SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  g.console_input =
      Handle(CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
  if (!g.console_input) {
    g.console_input = Handle(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inherit, OPEN_EXISTING, 0, nullptr));
    g_suite.report["console"] = "none could be had: the console checks see the null device";
  }
}

// --cleanup: what setup registered for this account, the helper's state, the
// suite's own profile and rules, and its work directory.
int cleanup(const std::wstring& work) {
  g.io = env(L"TEMP") + L"\\tessarin-acceptance-cleanup";
  CreateDirectoryW(g.io.c_str(), nullptr);
  const Finally tidy{[] { remove_tree(g.io); }};
  std::vector<std::string> left;
  for (const wchar_t* name :
       {L"Tessarin.Sandbox.v1.ReadOnly.Offline", L"Tessarin.Sandbox.v1.ReadOnly.Online",
        L"Tessarin.Sandbox.v1.WorkspaceWrite.Offline", L"Tessarin.Sandbox.v1.WorkspaceWrite.Online",
        kQuestionProfile}) {
    const HRESULT hr = DeleteAppContainerProfile(name);
    if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_NOT_FOUND) &&
        hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
      left.push_back("profile " + u8(name) + " (error " + std::to_string(hr) + ")");
    }
  }
  const Finished rules = remove_rules(L"'Tessarin Sandbox','" + std::wstring(kSuiteRules) + L"'");
  if (rules.exit != 0)
    left.push_back("firewall rules (PowerShell exit " + std::to_string(rules.exit) + ")");
  const std::wstring state = env(L"LOCALAPPDATA") + L"\\Tessarin";
  remove_tree(state + L"\\sandbox");
  RemoveDirectoryW(state.c_str());
  if (exists(state + L"\\sandbox")) left.push_back(u8(state) + "\\sandbox");
  if (exists(work + kWorkMarker)) remove_tree(work);
  if (exists(work + kWorkMarker)) left.push_back(u8(work));
  for (const auto& thing : left) std::printf("still there: %s\n", thing.c_str());
  std::printf("%s\n", left.empty()
                          ? "removed every profile, rule and directory of the helper and the suite"
                          : "clean-up incomplete");
  return left.empty() ? kPassed : kFailed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  auto options = parse_options(argc, argv);
  if (!options) {
    std::printf(
        "usage: tessarin-acceptance.exe [--report <file>] [--work <dir>] [--net-target "
        "<ipv4>:<port>] [--require-network] [--large-tree]\n"
        "       tessarin-acceptance.exe --cleanup [--work <dir>]\n");
    return kUsage;
  }
  std::wstring full(32768, L'\0');
  full.resize(GetFullPathNameW(options->work.c_str(), 32768, full.data(), nullptr));
  options->work = full;
  g_suite.report["machine"] = machine(options->work);
  g_suite.report["options"] = {{"work", u8(options->work)},
                               {"net target", g.net_target},
                               {"require network", g_suite.require_network},
                               {"large tree", g_suite.large_tree}};
  // Every measurement and question is in the report, taken or "not run".
  const auto finish_report = [&](int code) {
    json& questions = g_suite.report["design questions"] = json::array();
    for (const Question& q : kQuestions) {
      json item = {{"question", q.question}, {"figures", json::array()}};
      for (const Row row : q.figures) item["figures"].push_back(kMeasurements[row].name);
      const auto found = g_suite.answered.find(q.question);
      item.update(found != g_suite.answered.end() ? found->second : json{{"answer", "not run"}});
      questions.push_back(item);
    }
    json& measurements = g_suite.report["measurements"] = json::array();
    for (const Measurement& m : kMeasurements) {
      const auto found = g_suite.measured.find(m.name);
      measurements.push_back(found != g_suite.measured.end()
                                 ? found->second
                                 : json{{"measurement", m.name}, {"status", "not run"}});
    }
    g_suite.report["checks"] = g_suite.checks;
    g_suite.report["failures"] = g_suite.failures;
    g_suite.report["exit code"] = code;
    std::ofstream(std::filesystem::path(options->report), std::ios::binary)
        << g_suite.report.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    if (code != kRefused) std::printf("\n%d check(s) failed\n", g_suite.failures);
    std::printf("report: %s\n", u8(options->report).c_str());
    return code;
  };
  const auto refuse = [&](const std::string& reason) {
    std::printf("tessarin-acceptance: refused: %s\n", reason.c_str());
    g_suite.report["refused"] = reason;
    return options->cleanup ? kRefused : finish_report(kRefused);
  };
  if (const std::string reason = refuse_reason(); !reason.empty()) return refuse(reason);
  enable_privileges();
  if (options->cleanup) return cleanup(options->work);
  if (const std::string reason = prepare(options->work); !reason.empty()) return refuse(reason);
  const Finally tidy{[] {
    remove_suite_rules();
    DeleteAppContainerProfile(kQuestionProfile);
  }};
  prepare_console();
  if (const std::string reason = make_user_token(); !reason.empty()) {
    return refuse("could not make a normal caller's token: " + reason);
  }
  WSADATA wsa{};
  WSAStartup(MAKEWORD(2, 2), &wsa);
  std::printf(
      "to remove what setup and the suite leave on this machine afterwards: "
      "tessarin-acceptance.exe --cleanup --work %s\n",
      u8(options->work).c_str());

  const Finished setup = execute({{g.helper, L"setup"}, As::kElevated});
  const Finished status = execute({{g.helper, L"status"}});
  if (!record({"setup then status reports ready", "setup makes the machine ready",
               setup.exit == 0 && setup.out == "{\"version\":1,\"ready\":true}\n" &&
                   status.out == kReadyLine,
               "setup exit " + std::to_string(setup.exit) + " " + setup.out + setup.err +
                   "; status " + status.out + status.err,
               "make setup register every profile and rule, then the marker"})) {
    return finish_report(kNotReady);
  }

  // The stand-in caller holds until the end; its job ends it with the suite.
  g.caller =
      start({{g.probe, L"hold", g.io + L"\\stop-caller", L"0"}, As::kUser, false, false, true});
  const auto target = net_target::parse(w(g.net_target));
  g.network = net_target::connect_within(*target, 10) == 0;
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const Finally close_listener{[&] { closesocket(listener); }};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = static_cast<int>(sizeof address);
  bind(listener, reinterpret_cast<sockaddr*>(&address), static_cast<int>(sizeof address));
  listen(listener, 8);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  g.loopback = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  // The loopback row's positive control: the suite itself gets through.
  g.finished[kLoopHere].out = kRanMarker;
  g.finished[kLoopHere].exit = net_target::connect_within(address, 10) == 0 ? kAllowed : kOther;

  // A fault of the suite itself still ends in a report that says so.
  try {
    run_cases();
    exit_codes();
    inherited_handle();
    workspace_junctions();
    console_events();
    dying_caller_and_helper();
    console_close();
    locked_file();
    planted_tools();
    take_measurements();
    interrupt_during_grants();
    settle_questions();
  } catch (const std::exception& e) {
    record({"the suite ran to its end", "the suite's own code holds", false, e.what(),
            "nothing: a fault of the suite"});
  }

  spill(g.io + L"\\stop-caller", "stop");
  finish(g.caller, 30000);
  return finish_report(g_suite.failures == 0 ? kPassed : kFailed);
}
