// The acceptance suite for real Windows 10/11: runs real confined children
// through tessarin-sandbox.exe (found beside this program) and checks each
// promise against what the child could actually do. Run it elevated:
//   tessarin-acceptance.exe [--report <file>] [--work <dir>] [--net-target <ipv4>:<port>]
// Exit codes: 0 every check passed (some may be skipped), 1 a check failed,
// 2 usage, 3 refused to run (not Windows 10/11, not elevated, files missing),
// 4 setup or status did not make the machine ready (nothing else was run).

#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h, or the old winsock header comes in first.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <userenv.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

enum Exit : int { kPassed = 0, kFailed = 1, kUsage = 2, kRefused = 3, kNotReady = 4 };
// The probe's verdicts; kNotAllowed accepts a denial or any other failure.
enum Probe : int { kAllowed = 0, kDenied = 10, kNotFound = 11, kOther = 12, kNotAllowed = -1 };
constexpr DWORD kRunTimeoutMs = 180000;
const char* const kReadyLine =
    "{\"version\":1,\"ready\":true,\"capabilities\":{\"filesystem_isolation\":true,"
    "\"network_isolation\":true,\"process_isolation\":true},\"warning\":null,\"remediation\":null}"
    "\n";

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
std::string verdict(int code) {
  switch (code) {
    case kAllowed:
      return "allowed";
    case kDenied:
      return "access denied";
    case kNotFound:
      return "not found";
    case kOther:
      return "other failure";
    default:
      return "exit " + std::to_string(static_cast<unsigned>(code));
  }
}

// ---- the report ----------------------------------------------------------

// The design questions lead the report, before every check.
nlohmann::ordered_json g_report = {{"suite", "tessarin-sandbox acceptance"},
                                   {"design questions", nlohmann::ordered_json::array()}};
int g_failures = 0;

bool record(const std::string& name, const std::string& promise, bool pass,
            const std::string& detail, const std::string& advice) {
  g_report["checks"].push_back({{"check", name},
                                {"promise", promise},
                                {"result", pass ? "pass" : "FAIL"},
                                {"detail", detail},
                                {"helper should", pass ? "" : advice}});
  if (pass) {
    std::printf("PASS  %s\n", name.c_str());
  } else {
    ++g_failures;
    std::printf(
        "FAIL  %s\n      broken promise: %s\n      observed: %s\n"
        "      the helper should: %s\n",
        name.c_str(), promise.c_str(), detail.c_str(), advice.c_str());
  }
  std::fflush(stdout);
  return pass;
}
void skip(const std::string& name, const std::string& reason) {
  g_report["checks"].push_back({{"check", name}, {"result", "skip"}, {"detail", reason}});
  std::printf("SKIP  %s: %s\n", name.c_str(), reason.c_str());
}
void answer(const std::string& question, const std::string& text) {
  g_report["design questions"].push_back({{"question", question}, {"answer", text}});
  std::printf("\nQUESTION  %s\nANSWER    %s\n\n", question.c_str(), text.c_str());
}

// ---- files and access lists ---------------------------------------------

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
std::string slurp(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void spill(const std::wstring& path, const std::string& bytes) {
  std::ofstream(std::filesystem::path(path), std::ios::binary) << bytes;
}

// Deletes a file whose owner was locked out of its access list: the restore
// privilege grants DELETE whatever the list says (an OWNER RIGHTS entry takes
// even the owner's right to rewrite it).
void force_delete(const std::wstring& path) {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &privileges.Privileges[0].Luid);
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
  }
  const HANDLE file = CreateFileW(
      path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

// Removes a tree without ever following a link out of it.
void remove_tree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (!DeleteFileW(path.c_str())) force_delete(path);
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW entry{};
    const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") remove_tree(path + L"\\" + name);
      } while (FindNextFileW(find, &entry));
      FindClose(find);
    }
  }
  RemoveDirectoryW(path.c_str());
}

// Whether the entry itself (a link is not followed) has an access entry for `sid`.
bool has_ace(const std::wstring& path, PSID sid) {
  const HANDLE file = CreateFileW(
      path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status = GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, &dacl, nullptr, &descriptor);
  CloseHandle(file);
  bool found = false;
  for (DWORD i = 0; status == ERROR_SUCCESS && dacl != nullptr && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
    // Allowed and denied entries share the layout up to the SID.
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      found |= EqualSid(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart, sid) != 0;
    }
  }
  LocalFree(descriptor);
  return found;
}

// Every entry under `path` (links looked at, not followed) that names `sid`.
void find_aces(const std::wstring& path, PSID sid, std::vector<std::wstring>& found) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (has_ace(path, sid)) found.push_back(path);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW entry{};
    const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
      const std::wstring name = entry.cFileName;
      if (name != L"." && name != L"..") find_aces(path + L"\\" + name, sid, found);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
}

bool add_ace(const std::wstring& path, const wchar_t* sid_text, DWORD rights) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(sid_text, &sid)) return false;
  PACL old_dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL new_dacl = nullptr;
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = rights;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.ptstrName = static_cast<LPWSTR>(sid);
  bool ok = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &old_dacl, nullptr, &descriptor) == ERROR_SUCCESS &&
            SetEntriesInAclW(1, &access, old_dacl, &new_dacl) == ERROR_SUCCESS &&
            SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, new_dacl,
                                  nullptr) == ERROR_SUCCESS;
  LocalFree(new_dacl);
  LocalFree(descriptor);
  LocalFree(sid);
  return ok;
}

// ---- processes -----------------------------------------------------------

HANDLE g_user_token = nullptr;  // a filtered, medium-integrity token: how a caller runs
HANDLE g_console_input = nullptr;

struct Started {
  HANDLE process = nullptr;
  DWORD pid = 0;
  std::wstring out, err;
};
struct Finished {
  DWORD exit = 0;
  bool timed_out = false;
  std::string out, err;
  DWORD pid = 0;
};

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

std::wstring g_io;
int g_serial = 0;

Started start(const std::vector<std::wstring>& argv, bool elevated = false,
              std::vector<HANDLE> extra = {}, const std::wstring* environment = nullptr) {
  std::wstring line;
  for (const auto& arg : argv) line += (line.empty() ? L"" : L" ") + quote(arg);
  Started s;
  const std::wstring stem = g_io + L"\\" + std::to_wstring(++g_serial);
  s.out = stem + L".out";
  s.err = stem + L".err";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE out = CreateFileW(s.out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, 0, nullptr);
  const HANDLE err = CreateFileW(s.err.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, 0, nullptr);
  std::vector<HANDLE> handles = {g_console_input, out, err};
  handles.insert(handles.end(), extra.begin(), extra.end());
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<BYTE> list(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
  InitializeProcThreadAttributeList(attributes, 1, 0, &size);
  UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                            handles.size() * sizeof(HANDLE), nullptr, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = g_console_input;
  startup.StartupInfo.hStdOutput = out;
  startup.StartupInfo.hStdError = err;
  startup.lpAttributeList = attributes;
  const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT;
  void* block = environment ? const_cast<wchar_t*>(environment->c_str()) : nullptr;
  PROCESS_INFORMATION info{};
  const BOOL ok =
      elevated || g_user_token == nullptr
          ? CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, block, nullptr,
                           &startup.StartupInfo, &info)
          : CreateProcessAsUserW(g_user_token, nullptr, line.data(), nullptr, nullptr, TRUE, flags,
                                 block, nullptr, &startup.StartupInfo, &info);
  if (!ok)
    std::printf("      (could not start %s: error %lu)\n", u8(argv[0]).c_str(), GetLastError());
  DeleteProcThreadAttributeList(attributes);
  CloseHandle(out);
  CloseHandle(err);
  if (ok) {
    CloseHandle(info.hThread);
    s.process = info.hProcess;
    s.pid = info.dwProcessId;
  }
  return s;
}

Finished finish(Started& s, DWORD timeout = kRunTimeoutMs) {
  Finished f;
  f.pid = s.pid;
  if (s.process == nullptr) {
    f.exit = 0xFFFFFFFF;
    return f;
  }
  if (WaitForSingleObject(s.process, timeout) != WAIT_OBJECT_0) {
    f.timed_out = true;
    TerminateProcess(s.process, 1);
    WaitForSingleObject(s.process, 10000);
  }
  GetExitCodeProcess(s.process, &f.exit);
  CloseHandle(s.process);
  s.process = nullptr;
  f.out = slurp(s.out);
  f.err = slurp(s.err);
  return f;
}

// ---- the machine under test ----------------------------------------------

struct Identity {
  std::wstring name;
  PSID sid = nullptr;
};

struct Context {
  std::wstring root, helper, probe, ws, wroot, sibling, outside, target, plant, state;
  Identity ids[2][2];  // [workspace_write][online]
  DWORD caller_pid = 0;
  std::string net_target, loopback;
  bool network = false;
  std::map<std::string, int> results;  // check name -> probe verdict, for the controls
} g;

// A check that did not run counts as failed, never as allowed.
int result(const std::string& name) {
  const auto found = g.results.find(name);
  return found == g.results.end() ? kOther : found->second;
}

std::wstring expand(std::string text) {
  const std::map<std::string, std::wstring> slots = {{"{ws}", g.ws},
                                                     {"{root}", g.wroot},
                                                     {"{sibling}", g.sibling},
                                                     {"{target}", g.target},
                                                     {"{state}", g.state},
                                                     {"{net}", w(g.net_target)},
                                                     {"{loopback}", w(g.loopback)}};
  for (const auto& [slot, value] : slots) {
    for (std::size_t at; (at = text.find(slot)) != std::string::npos;) {
      text.replace(at, slot.size(), u8(value));
    }
  }
  return w(text);
}

struct RunOptions {
  bool write = false, online = false, audit = true;
  DWORD parent = 0;
  std::vector<HANDLE> extra;
  const std::wstring* environment = nullptr;
  std::function<void(Started&)> during;
};

// After every run: no entry for the identity anywhere it was granted (or
// could have been reached through a link), its temporary directory gone,
// and no lease file.
void audit(const std::string& run, const Identity& id, DWORD helper_pid) {
  std::vector<std::wstring> left;
  for (const auto& path : {g.ws, g.wroot, g.outside, g.sibling, g.state + L"\\tmp"}) {
    find_aces(path, id.sid, left);
  }
  std::string detail;
  for (const auto& path : left) detail += u8(path) + "; ";
  const std::wstring temp = g.state + L"\\tmp\\" + std::to_wstring(helper_pid);
  const std::wstring lease = g.state + L"\\acl-leases\\" + id.name + L".json";
  if (exists(temp)) detail += "temporary directory " + u8(temp) + " remains; ";
  if (exists(lease)) detail += "lease file " + u8(lease) + " remains; ";
  record("clean after: " + run, "after every run no grant, temporary directory or lease remains",
         detail.empty(), detail.empty() ? "nothing left" : detail,
         "revoke every leased path after the child and its tree have ended, remove the "
         "temporary directory without following links, then delete the lease");
}

RunOptions writing() {
  RunOptions o;
  o.write = true;
  return o;
}

Finished run(const std::string& name, const std::vector<std::string>& probe_args,
             const RunOptions& o) {
  const Identity& id = g.ids[o.write][o.online];
  std::vector<std::wstring> argv = {
      g.helper,           L"run",
      L"--workspace",     g.ws,
      L"--cwd",           g.ws,
      L"--preset",        o.write ? L"workspace_write" : L"read_only",
      L"--parent-pid",    std::to_wstring(o.parent ? o.parent : g.caller_pid),
      L"--writable-root", g.wroot};
  if (o.online) argv.push_back(L"--network");
  argv.push_back(L"--");
  argv.push_back(g.probe);
  for (const auto& arg : probe_args) argv.push_back(expand(arg));
  Started s = start(argv, false, o.extra, o.environment);
  if (o.during && s.process) o.during(s);
  Finished f = finish(s);
  if (f.timed_out) {
    record(name + " (finished in time)", "a run ends when its child ends", false,
           "the helper was still running after " + std::to_string(kRunTimeoutMs / 1000) + " s",
           "never walk into a junction loop or wait without bound on a tool or a dying tree");
  }
  if (o.audit) audit(name, id, f.pid);
  return f;
}

bool connect_here(const std::string& target) {
  const std::size_t colon = target.rfind(':');
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::stoul(target.substr(colon + 1))));
  if (colon == std::string::npos ||
      inet_pton(AF_INET, target.substr(0, colon).c_str(), &address.sin_addr) != 1) {
    return false;
  }
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  DWORD timeout = 10000;
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
             static_cast<int>(sizeof timeout));
  const bool ok =
      connect(s, reinterpret_cast<sockaddr*>(&address), static_cast<int>(sizeof address)) == 0;
  closesocket(s);
  return ok;
}

// ---- the checks ----------------------------------------------------------

struct Case {
  const char* name;
  const char* promise;
  bool write, online;
  std::vector<std::string> probe;
  int expect;
  const char* control;  // the check whose success shows the operation can work
  const char* advice;
  bool needs_network;
};

const char* const kWsWrite = "workspace_write: creates and deletes a workspace file";
const char* const kWsRead = "read_only: reads a workspace file";
const char* const kOnline = "online (read_only): connects outside the machine";
const char* const kOnlineWw = "online (workspace_write): connects outside the machine";
const char* const kLoopHere = "the suite itself reaches its loopback listener";

const char* const kOffline = "block offline identities (see the third design question)";
const char* const kCapabilities = "give online identities the internet-client capabilities";

// One row per check reads better as a table.
// clang-format off
const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
    {kWsRead, "read_only grants read-and-execute on the workspace", false, false,
     {"read", "{ws}\\data.txt"}, kAllowed, nullptr,
     "grant (OI)(CI)RX on the workspace to the identity's SID", false},
    {"read_only: cannot create a workspace file", "read_only never lets the child write the workspace",
     false, false, {"write", "{ws}\\by-read-only.txt"}, kDenied, kWsWrite,
     "grant read-and-execute only, never modify, under read_only", false},
    {"read_only: cannot read a never-granted sibling directory",
     "the child reaches nothing outside its grants", false, false,
     {"read", "{sibling}\\secret.txt"}, kDenied, kWsRead,
     "grant only the workspace, the writable roots and the temporary directory", false},
    {"read_only: a --writable-root is writable", "every writable root gets modify access", false, false,
     {"create-delete", "{root}\\by-read-only.txt"}, kAllowed, nullptr,
     "grant (OI)(CI)M on every writable root whatever the preset", false},
    {kWsWrite, "workspace_write gives modify access to the workspace", true, false,
     {"create-delete", "{ws}\\by-workspace-write.txt"}, kAllowed, nullptr,
     "make the grant effective for a Low-integrity container (see the first design question)", false},
    {"workspace_write: creates and deletes a file in TEMP", "the run's temporary directory is writable",
     true, false, {"create-delete", "%TEMP%\\by-workspace-write.txt"}, kAllowed, nullptr,
     "grant modify on the run's temporary directory", false},
    {"workspace_write: TEMP and TMP name the run's temporary directory",
     "the child's TEMP and TMP point at <state>\\tmp\\<pid>", true, false,
     {"temp-is", "{state}\\tmp\\"}, kAllowed, nullptr,
     "set TEMP and TMP of the child's environment to the run's temporary directory", false},
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
     "keep the README's list of limits true: loopback became reachable", false},
  };
  return table;
}
// clang-format on

// All rows run first, so that a denial is judged after its positive control.
void run_cases() {
  std::map<std::string, Finished> finished;
  for (const Case& c : cases()) {
    if (c.needs_network && !g.network) continue;
    RunOptions o;
    o.write = c.write;
    o.online = c.online;
    finished[c.name] = run(c.name, c.probe, o);
    g.results[c.name] = static_cast<int>(finished[c.name].exit);
  }
  for (const Case& c : cases()) {
    if (c.needs_network && !g.network) {
      skip(c.name, "this machine cannot reach " + g.net_target + " itself");
      continue;
    }
    const Finished& f = finished[c.name];
    const int got = static_cast<int>(f.exit);
    const bool pass = c.expect == kNotAllowed ? (got == kDenied || got == kOther) : got == c.expect;
    std::string detail = "the child's operation: " + verdict(got) + " (expected " +
                         (c.expect == kNotAllowed ? "a failure" : verdict(c.expect)) + ")";
    if (!f.err.empty()) detail += "; stderr: " + f.err;
    if (pass && c.control) {
      const auto control = g.results.find(c.control);
      if (control == g.results.end() || control->second != kAllowed) {
        record(c.name, c.promise, false,
               detail + "; but its positive control \"" + c.control +
                   "\" did not succeed, so the denial proves nothing",
               "make the positive control pass first");
        continue;
      }
      detail += "; positive control \"" + std::string(c.control) + "\" succeeded";
    }
    record(c.name, c.promise, pass, detail, c.advice);
  }
}

void exit_codes() {
  for (const DWORD code : {0ul, 3ul, 3221225477ul}) {
    const std::string name = "the child's exit code " + std::to_string(code) + " is the helper's";
    const Finished f = run(name, {"exit", std::to_string(code)}, {});
    record(name, "the helper exits with the command's full 32-bit exit code", f.exit == code,
           "helper exited " + std::to_string(f.exit) + "; stderr: " + f.err,
           "return GetExitCodeProcess of the child unchanged");
  }
}

// A handle the caller let the helper inherit must not reach the child.
void inherited_handle() {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const std::wstring path = g.sibling + L"\\leak.txt";
  const HANDLE leak = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                  CREATE_ALWAYS, 0, nullptr);
  RunOptions o;
  o.extra = {leak};
  const std::string value = std::to_string(reinterpret_cast<ULONG_PTR>(leak));
  const Finished control = run("the child writes its own standard output", {"handle", "stdout"}, o);
  const Finished f =
      run("the child cannot use the caller's extra inheritable handle", {"handle", value}, o);
  CloseHandle(leak);
  const bool wrote = !slurp(path).empty();
  record("the child cannot use the caller's extra inheritable handle",
         "the child inherits exactly its three standard handles",
         control.exit == kAllowed && f.exit != kAllowed && !wrote,
         "own stdout: " + verdict(static_cast<int>(control.exit)) + "; the caller's handle " +
             value + ": " + verdict(static_cast<int>(f.exit)) +
             (wrote ? "; leak.txt was written" : ""),
         "start the child with PROC_THREAD_ATTRIBUTE_HANDLE_LIST naming only its standard handles");
}

void design_question_one() {
  const auto got = result(kWsWrite);
  answer(
      "Can a grant make anything writable? (Low-integrity container, unlabelled files, Modify "
      "grant)",
      got == kAllowed
          ? "Yes: with the Modify grant alone the container created and deleted a workspace file."
          : "No: the write was refused (" + verdict(got) +
                "). The helper should also give granted paths a Low mandatory label for the "
                "run (and restore the old label at revocation), or writes will never work.");
}

// Junctions planted in the workspace before the run: one out of every grant,
// a loop and a dangling one.
void workspace_junctions() {
  const std::wstring links = g.ws + L"\\links";
  CreateDirectoryW(links.c_str(), nullptr);
  Started plant = start({g.probe, L"junctions", links, g.target});
  if (finish(plant).exit != kAllowed) {
    skip("junctions in the workspace", "the suite could not create junctions itself");
    answer("Does icacls /T follow a junction in the workspace out of it?",
           "Not settled: the suite could not plant a junction here.");
    return;
  }
  const std::string name = "a junction in the workspace gives no way to write its target";
  RunOptions o;
  o.write = true;
  const Finished f = run(name, {"write", "{ws}\\links\\out\\through.txt"}, o);
  const bool wrote = exists(g.target + L"\\through.txt");
  record(name, "the child reaches nothing outside its grants, links or not",
         !f.timed_out && f.exit != kAllowed && !wrote && result(kWsWrite) == kAllowed,
         "write through the junction: " + verdict(static_cast<int>(f.exit)) +
             "; positive control \"" + kWsWrite + "\": " + verdict(result(kWsWrite)),
         "never grant through a reparse point: walk the tree itself and skip links, "
         "or refuse a workspace that holds junctions");

  bool granted_through = false;
  o.during = [&](Started&) {
    for (int i = 0; i < 600 && !exists(g.ws + L"\\go.held"); ++i) Sleep(100);
    granted_through =
        has_ace(g.target, g.ids[1][0].sid) || has_ace(g.target + L"\\keep.txt", g.ids[1][0].sid);
    RemoveDirectoryW((links + L"\\out").c_str());  // deletes the link, not the target
    spill(g.ws + L"\\go", "go");
  };
  run("a junction deleted mid-run", {"hold", "{ws}\\go"}, o);
  std::vector<std::wstring> left;
  find_aces(g.outside, g.ids[1][0].sid, left);
  record("while a run lasts, a workspace junction's target carries no entry for the identity",
         "grants stay inside the workspace", !granted_through,
         granted_through ? "the target had an entry for the identity mid-run" : "none",
         "do not apply grants with icacls /T across junctions; grant the tree without following "
         "reparse points");
  answer(
      "Does icacls /T follow a junction in the workspace out of it, and does such a grant "
      "outlive the junction's deletion and the revocation?",
      std::string(granted_through ? "Yes, /T followed the junction: its target got an entry. "
                                  : "No: the target got no entry during the run. ") +
          (left.empty() ? "After the junction was deleted mid-run and the path revoked, the "
                          "target carries no entry."
                        : "After the junction was deleted mid-run and the path revoked, the "
                          "target still carries the entry: the grant outlives the link."));
  DeleteFileW((g.ws + L"\\go").c_str());
  DeleteFileW((g.ws + L"\\go.held").c_str());
  remove_tree(links);
}

void temp_links_and_names() {
  RunOptions o;
  o.write = true;
  const std::string keep = slurp(g.target + L"\\keep.txt");
  const Finished f = run("junctions planted in TEMP", {"junctions", "%TEMP%", "{target}"}, o);
  record("junctions a child plants in TEMP go with it; their target survives",
         "removing the temporary directory never follows a link",
         f.exit == kAllowed && slurp(g.target + L"\\keep.txt") == keep && !keep.empty(),
         "planting: " + verdict(static_cast<int>(f.exit)) + "; target file " +
             (slurp(g.target + L"\\keep.txt") == keep ? "intact" : "GONE or changed"),
         "remove links in the temporary directory as links (RemoveDirectoryW on the link), "
         "never descend into them");
  const Finished odd = run("odd names in TEMP", {"odd-names", "%TEMP%"}, o);
  record("files with trailing dots, device names, long paths and lone surrogates leave with TEMP",
         "the temporary directory is removed whatever names the child gave",
         odd.exit == kAllowed && !exists(g.state + L"\\tmp\\" + std::to_wstring(odd.pid)),
         "creating them: " + verdict(static_cast<int>(odd.exit)),
         "remove on \\\\?\\ paths with names kept as UTF-16");
}

void locked_file() {
  RunOptions o;
  o.write = true;
  o.audit = false;
  const Identity& id = g.ids[1][0];
  const std::wstring locked = g.ws + L"\\locked.txt";
  const Finished f =
      run("a file whose access list the user cannot change", {"lockdown", "{ws}\\locked.txt"}, o);
  const bool still = has_ace(locked, id.sid);
  const bool lease = exists(g.state + L"\\acl-leases\\" + id.name + L".json");
  const bool loud = f.err.find("workspace ACL cleanup failed") != std::string::npos;
  g_report["findings"].push_back(
      {{"locked file", "helper exit " + std::to_string(f.exit) +
                           ", identity entry left: " + (still ? "yes" : "no") +
                           ", lease kept: " + (lease ? "yes" : "no") + ", stderr: " + f.err}});
  if (!exists(locked)) {
    skip("a child-made file the user cannot re-permission",
         "the child could not make it: " + f.err);
  } else {
    record("a child-made file the user cannot re-permission does not silently keep a grant",
           "revocation either removes every entry or fails loudly (exit 77) and keeps the lease",
           !still || (loud && lease && f.exit == 77),
           std::string("entry left: ") + (still ? "yes" : "no") +
               "; reported: " + (loud ? "yes" : "no") + "; lease kept: " + (lease ? "yes" : "no"),
           "report a failed revocation (workspace ACL cleanup failed ...) and keep the lease");
  }
  force_delete(locked);
  run("the next run repairs what the locked file left", {"exit", "0"}, writing());
}

// Keystrokes and Ctrl+Break from the child must not outlive the run.
void console_events() {
  FlushConsoleInputBuffer(g_console_input);
  RunOptions o;
  o.write = true;
  const Finished f = run("the child writes keystrokes into the console input", {"inject"}, o);
  std::vector<INPUT_RECORD> records(4096);
  DWORD got = 0;
  PeekConsoleInputW(g_console_input, records.data(), static_cast<DWORD>(records.size()), &got);
  std::wstring typed;
  for (DWORD i = 0; i < got; ++i) {
    if (records[i].EventType == KEY_EVENT) typed += records[i].Event.KeyEvent.uChar.UnicodeChar;
  }
  FlushConsoleInputBuffer(g_console_input);
  const bool landed = typed.find(L"tessarin-acceptance-injected") != std::wstring::npos;
  record("keystrokes the child writes do not wait in the caller's console",
         "nothing the child does runs unconfined after the helper exits", !landed,
         "the child's WriteConsoleInputW: " + verdict(static_cast<int>(f.exit)) +
             (landed ? "; its text was waiting in the caller's console input" : ""),
         "give the child no handle to the caller's console input: its own pseudo console or "
         "none, and standard input from a pipe or the null device");

  const std::wstring beat = g.ws + L"\\break-beat.txt";
  const Finished b =
      run("the child sends Ctrl+Break to the console", {"break", "{ws}\\break-beat.txt"}, o);
  const std::string before = slurp(beat);
  Sleep(1500);
  // A child refused the event (exit 10) has nothing to prove; the audit still runs.
  record("after Ctrl+Break the helper still ends the tree and revokes",
         "console control events never stop the clean-up",
         (b.exit == kAllowed || b.exit == kDenied) && slurp(beat) == before,
         "helper exit " + std::to_string(b.exit) + " (0: the child sent the event and ended; " +
             "10: it was refused)" + (slurp(beat) == before ? "" : "; the grandchild still beats"),
         "install a console control handler that returns TRUE for Ctrl+C and Ctrl+Break");
  DeleteFileW(beat.c_str());
}

// The caller dies, or the helper itself is killed: the tree must go.
void dying_caller_and_helper() {
  for (const bool kill_helper : {false, true}) {
    const std::wstring b1 = g.ws + L"\\beat1.txt", b2 = g.ws + L"\\beat2.txt";
    Started caller = start({g.probe, L"hold", g.root + L"\\io\\never"});
    RunOptions o;
    o.write = true;
    o.parent = caller.pid;
    o.audit = !kill_helper;
    o.during = [&](Started& helper) {
      for (int i = 0; i < 600 && !(exists(b1) && exists(b2)); ++i) Sleep(100);
      TerminateProcess(kill_helper ? helper.process : caller.process, 1);
    };
    const std::string name =
        kill_helper ? "the helper killed mid-run" : "the caller killed mid-run";
    run(name, {"tree", "{ws}\\beat1.txt", "{ws}\\beat2.txt"}, o);
    const std::string one = slurp(b1), two = slurp(b2);
    Sleep(1500);
    record(name + " ends the child and its grandchild",
           "the command's tree dies with the caller and with the helper",
           !one.empty() && !two.empty() && slurp(b1) == one && slurp(b2) == two,
           "child beat " + (slurp(b1) == one ? std::string("stopped") : "GOES ON") +
               ", grandchild beat " + (slurp(b2) == two ? "stopped" : "GOES ON"),
           "keep the tree in a kill-on-close job and watch the caller's handle");
    TerminateProcess(caller.process, 1);
    finish(caller, 5000);
    DeleteFileW(b1.c_str());
    DeleteFileW(b2.c_str());
    if (kill_helper)
      run("the next run repairs what the killed helper left", {"exit", "0"}, writing());
  }
}

// A powershell.exe or icacls.exe on PATH or beside the helper is never started.
void planted_tools() {
  const std::wstring beside = g.helper.substr(0, g.helper.find_last_of(L'\\'));
  std::vector<std::wstring> planted;
  for (const auto& dir : {g.plant, beside}) {
    for (const wchar_t* tool : {L"powershell.exe", L"icacls.exe"}) {
      planted.push_back(dir + L"\\" + tool);
      CopyFileW(g.probe.c_str(), planted.back().c_str(), FALSE);
    }
  }
  std::wstring environment;
  wchar_t* const block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry; entry += std::wcslen(entry) + 1) {
    std::wstring text = entry;
    if (_wcsnicmp(entry, L"PATH=", 5) == 0) text = L"PATH=" + g.plant + L";" + text.substr(5);
    environment += text + L'\0';
  }
  environment += L'\0';
  FreeEnvironmentStringsW(block);
  Started status = start({g.helper, L"status"}, false, {}, &environment);
  const Finished s = finish(status);
  RunOptions o;
  o.environment = &environment;
  const Finished r = run("a run with planted tools", {"read", "{ws}\\data.txt"}, o);
  const bool ran = exists(g.plant + L"\\planted-ran.txt") || exists(beside + L"\\planted-ran.txt");
  record("a planted powershell.exe or icacls.exe (on PATH, beside the helper) is never started",
         "tools and DLLs come from the system directory",
         !ran && s.out == kReadyLine && r.exit == kAllowed,
         std::string("planted tool started: ") + (ran ? "YES" : "no") + "; status: " + s.out +
             "; run: " + verdict(static_cast<int>(r.exit)) + " " + r.err,
         "start <system>\\icacls.exe and <system>\\WindowsPowerShell\\v1.0\\powershell.exe first");
  for (const auto& path : planted) DeleteFileW(path.c_str());
  DeleteFileW((g.plant + L"\\planted-ran.txt").c_str());
  DeleteFileW((beside + L"\\planted-ran.txt").c_str());
}

int powershell(const std::wstring& script) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  Started s = start({std::wstring(system) + L"\\WindowsPowerShell\\v1.0\\powershell.exe",
                     L"-NoProfile", L"-NonInteractive", L"-Command", script},
                    true);
  return static_cast<int>(finish(s, 120000).exit);
}

// Whether a firewall rule's local-user condition matches container traffic at
// all, apart from the capabilities an offline identity lacks: block an online
// identity for a moment and see whether its connection still goes through.
void design_question_three() {
  const std::string q = "Does a -LocalUser firewall condition match traffic from the container?";
  if (!g.network || result(kOnlineWw) != kAllowed) {
    answer(q, "Not settled: the online control connection did not succeed here (" +
                  (g.network ? verdict(result(kOnlineWw)) : std::string("no network")) + ").");
    return;
  }
  wchar_t* sid = nullptr;
  ConvertSidToStringSidW(g.ids[1][1].sid, &sid);
  const std::wstring rule = L"Tessarin Acceptance LocalUser Question";
  powershell(L"Remove-NetFirewallRule -Name '" + rule + L"' -ErrorAction SilentlyContinue");
  const int made = powershell(L"New-NetFirewallRule -Name '" + rule + L"' -DisplayName '" + rule +
                              L"' -Direction Outbound -Action Block -LocalUser 'D:(A;;CC;;;" + sid +
                              L")' | Out-Null");
  LocalFree(sid);
  RunOptions o;
  o.write = o.online = true;
  const Finished f =
      run("an online identity under a temporary -LocalUser block rule", {"connect", "{net}"}, o);
  powershell(L"Remove-NetFirewallRule -Name '" + rule + L"'");
  const bool offline_blocked =
      result("offline (workspace_write): cannot connect outside the machine") != kAllowed;
  if (made != 0) {
    answer(q, "Not settled: the temporary rule could not be created (PowerShell exit " +
                  std::to_string(made) + ").");
  } else if (f.exit != kAllowed) {
    answer(q, "Yes: a -LocalUser block rule stopped the online container's connection (" +
                  verdict(static_cast<int>(f.exit)) + "). Offline children " +
                  (offline_blocked ? "fail to connect." : "STILL CONNECT."));
  } else {
    answer(q, std::string("No: the online container connected despite a -LocalUser block rule for "
                          "its SID. Offline children ") +
                  (offline_blocked ? "are kept off only by their missing capabilities; the "
                                     "helper should key its block rules on the package SID "
                                     "instead."
                                   : "CONNECT: the helper must key its rules on the package SID."));
    record("a -LocalUser block rule matches the container",
           "offline identities are blocked by "
           "Windows Firewall as well as by their capabilities",
           false, "the rule did not match",
           "key the firewall rules on the AppContainer package SID");
  }
}

// ---- start-up ------------------------------------------------------------

std::string refuse_reason() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") != nullptr) {
    return "this is not Windows (Wine cannot create AppContainers); run it on Windows 10 or 11";
  }
  using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  const auto get = reinterpret_cast<RtlGetVersion>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (get == nullptr || get(&version) != 0 || version.dwMajorVersion != 10) {
    return "this is not Windows 10 or 11 (version " + std::to_string(version.dwMajorVersion) + "." +
           std::to_string(version.dwMinorVersion) + ")";
  }
  g_report["windows"] = std::to_string(version.dwMajorVersion) + "." +
                        std::to_string(version.dwMinorVersion) + "." +
                        std::to_string(version.dwBuildNumber);
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
      !GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) ||
      !elevation.TokenIsElevated) {
    if (token) CloseHandle(token);
    return "not elevated: open a terminal as administrator and run it again";
  }
  CloseHandle(token);
  return {};
}

// How a caller normally runs: no administrator group, medium integrity.
void make_user_token() {
  HANDLE own = nullptr;
  OpenProcessToken(GetCurrentProcess(),
                   TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT,
                   &own);
  PSID admins = nullptr, medium = nullptr;
  ConvertStringSidToSidW(L"S-1-5-32-544", &admins);
  ConvertStringSidToSidW(L"S-1-16-8192", &medium);
  SID_AND_ATTRIBUTES disable{admins, 0};
  TOKEN_MANDATORY_LABEL label{{medium, SE_GROUP_INTEGRITY}};
  if (!CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE | LUA_TOKEN, 1, &disable, 0, nullptr, 0,
                             nullptr, &g_user_token) ||
      !SetTokenInformation(g_user_token, TokenIntegrityLevel, &label,
                           static_cast<DWORD>(sizeof label + GetLengthSid(medium)))) {
    g_report["runs as"] = "the elevated token (a filtered token was refused: error " +
                          std::to_string(GetLastError()) + ")";
    if (g_user_token) CloseHandle(g_user_token);
    g_user_token = nullptr;
  } else {
    g_report["runs as"] = "a filtered medium-integrity token without the administrators group";
  }
  LocalFree(admins);
  LocalFree(medium);
  if (own) CloseHandle(own);
}

std::wstring env(const wchar_t* name) {
  wchar_t buffer[32768];
  const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
  return n > 0 && n < 32768 ? std::wstring(buffer, n) : std::wstring();
}

std::wstring own_dir() {
  wchar_t buffer[32768];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
  const std::wstring path(buffer, n);
  return path.substr(0, path.find_last_of(L'\\'));
}

bool prepare(const std::wstring& work) {
  g.root = work;
  remove_tree(g.root);
  g.ws = g.root + L"\\workspace";
  g.wroot = g.root + L"\\writable-root";
  g.sibling = g.root + L"\\sibling";
  g.outside = g.root + L"\\outside";
  g.target = g.outside + L"\\target";
  g.plant = g.root + L"\\plant";
  g_io = g.root + L"\\io";
  for (const auto& dir : {g.root, g.ws, g.wroot, g.sibling, g.outside, g.target, g.plant, g_io,
                          g.root + L"\\bin", g.root + L"\\helper"}) {
    CreateDirectoryW(dir.c_str(), nullptr);
  }
  spill(g.ws + L"\\data.txt", "data");
  spill(g.sibling + L"\\secret.txt", "secret");
  spill(g.target + L"\\keep.txt", "keep");
  // The helper and the probe run from copies, so that planting beside them
  // touches nothing of the build; the probe's folder lets every container
  // package read and execute it, as a program needs to start in one.
  g.helper = g.root + L"\\helper\\tessarin-sandbox.exe";
  g.probe = g.root + L"\\bin\\tessarin-probe.exe";
  DWORD size = 0;
  HANDLE token = nullptr;
  BYTE buffer[512];
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
  CloseHandle(token);
  wchar_t* user_sid = nullptr;
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &user_sid);
  const bool ok =
      CopyFileW((own_dir() + L"\\tessarin-sandbox.exe").c_str(), g.helper.c_str(), FALSE) &&
      CopyFileW((own_dir() + L"\\tessarin-probe.exe").c_str(), g.probe.c_str(), FALSE) &&
      add_ace(g.root, user_sid, FILE_ALL_ACCESS) &&
      add_ace(g.root + L"\\bin", L"S-1-15-2-1", FILE_GENERIC_READ | FILE_GENERIC_EXECUTE);
  LocalFree(user_sid);
  g.state = env(L"LOCALAPPDATA") + L"\\Tessarin\\sandbox";
  const wchar_t* presets[] = {L"ReadOnly", L"WorkspaceWrite"};
  const wchar_t* modes[] = {L"Offline", L"Online"};
  for (int p = 0; p < 2; ++p) {
    for (int m = 0; m < 2; ++m) {
      Identity& id = g.ids[p][m];
      id.name = std::wstring(L"Tessarin.Sandbox.v1.") + presets[p] + L"." + modes[m];
      if (FAILED(DeriveAppContainerSidFromAppContainerName(id.name.c_str(), &id.sid))) return false;
    }
  }
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring report = L"acceptance-report.json";
  std::wstring work = env(L"SystemDrive") + L"\\tessarin-acceptance";
  g.net_target = "1.1.1.1:443";  // a public anycast address
  for (int i = 1; i < argc; ++i) {
    const std::wstring flag = argv[i];
    if (i + 1 >= argc) return std::printf("usage: see the top of acceptance.cpp\n"), kUsage;
    if (flag == L"--report")
      report = argv[++i];
    else if (flag == L"--work")
      work = argv[++i];
    else if (flag == L"--net-target")
      g.net_target = u8(argv[++i]);
    else
      return std::printf("unknown option %s\n", u8(flag).c_str()), kUsage;
  }
  auto finish_report = [&](int code) {
    for (const auto& item : g_report["design questions"]) {
      std::printf("\n%s\n  %s\n", item["question"].get<std::string>().c_str(),
                  item["answer"].get<std::string>().c_str());
    }
    g_report["failures"] = g_failures;
    g_report["exit code"] = code;
    std::ofstream(std::filesystem::path(report), std::ios::binary) << g_report.dump(2) << "\n";
    if (code != kRefused) std::printf("\n%d check(s) failed\n", g_failures);
    std::printf("report: %s\n", u8(report).c_str());
    return code;
  };
  if (const std::string reason = refuse_reason(); !reason.empty()) {
    std::printf("tessarin-acceptance: refused: %s\n", reason.c_str());
    g_report["refused"] = reason;
    return finish_report(kRefused);
  }
  if (!prepare(work)) {
    std::printf(
        "tessarin-acceptance: refused: tessarin-sandbox.exe and tessarin-probe.exe must lie "
        "beside this program, and %s must be writable\n",
        u8(work).c_str());
    return finish_report(kRefused);
  }
  // The suite outlives the console events its children send.
  SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE);
  // With its output redirected (as under a workflow) the suite takes a console
  // of its own, so that a child's Ctrl+Break or keystrokes reach nothing but
  // this run; at a terminal it shares the terminal's and says so.
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
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  g_console_input =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inherit, OPEN_EXISTING, 0, nullptr);
  if (g_console_input == INVALID_HANDLE_VALUE) {
    g_console_input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherit, OPEN_EXISTING, 0, nullptr);
    g_report["console"] = "none could be had: the console checks see the null device";
  }
  make_user_token();
  WSADATA wsa{};
  WSAStartup(MAKEWORD(2, 2), &wsa);

  Started setup = start({g.helper, L"setup"}, true);
  const Finished s = finish(setup);
  Started status = start({g.helper, L"status"});
  const Finished st = finish(status);
  const bool ready =
      record("setup then status reports ready", "setup makes the machine ready",
             s.exit == 0 && s.out == "{\"version\":1,\"ready\":true}\n" && st.out == kReadyLine,
             "setup exit " + std::to_string(s.exit) + " " + s.out + s.err + "; status " + st.out,
             "make setup register every profile and rule, then the marker");
  if (!ready) return finish_report(kNotReady);

  Started caller = start({g.probe, L"hold", g_io + L"\\stop-caller"});
  g.caller_pid = caller.pid;
  g.network = connect_here(g.net_target);
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = static_cast<int>(sizeof address);
  bind(listener, reinterpret_cast<sockaddr*>(&address), static_cast<int>(sizeof address));
  listen(listener, 8);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  g.loopback = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  g.results[kLoopHere] = connect_here(g.loopback) ? kAllowed : kOther;

  run_cases();
  design_question_one();
  exit_codes();
  inherited_handle();
  workspace_junctions();
  temp_links_and_names();
  design_question_three();
  console_events();
  dying_caller_and_helper();
  locked_file();
  planted_tools();

  closesocket(listener);
  spill(g_io + L"\\stop-caller", "stop");
  finish(caller, 30000);
  return finish_report(g_failures == 0 ? kPassed : kFailed);
}
