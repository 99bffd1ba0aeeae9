// The acceptance suite for real Windows 10/11: runs real confined children
// through tessarin-sandbox.exe (found beside this program), checks each
// promise against what the child could actually do, and measures what the
// next design steps depend on. Run it elevated:
//   tessarin-acceptance.exe [--report <file>] [--work <dir>] [--net-target <ipv4>:<port>]
//                           [--require-network] [--require-decisive] [--large-tree]
//                           [--audit-module <NtObjectManager.psd1>]
//   tessarin-acceptance.exe --cleanup [--work <dir>]
// Exit codes: 0 every check passed (some may be skipped), 1 a check failed
// (or, with --require-decisive, a figure is incomplete or a question unsettled),
// 2 usage, 3 refused to run (not Windows 10/11, not elevated, files missing,
// a work directory it did not make), 4 setup or status did not make the
// machine ready (nothing else was run). --cleanup exits 0 when everything
// setup and the suite left is gone, 1 when something remains.

#include "suite.h"
// suite.h brings windows.h, which these need first.
#include <sddl.h>
#include <userenv.h>
#include <winioctl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "net_target.h"

namespace acceptance {

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
    } else if (flag == L"--require-decisive") {
      g_suite.require_decisive = true;
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
    } else if (flag == L"--audit-module") {
      g.audit_module = argv[++i];
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
      (g.user_sid = sid_text(reinterpret_cast<TOKEN_USER*>(user)->User.Sid)).empty() ||
      !add_ace(g.root, g.user_sid, FILE_ALL_ACCESS) ||
      !add_ace(g.bin, "S-1-15-2-1", FILE_GENERIC_READ | FILE_GENERIC_EXECUTE)) {
    return "tessarin-sandbox.exe and tessarin-probe.exe must lie beside this program, and " +
           u8(work) + " must be writable";
  }
  g.state = env(L"LOCALAPPDATA") + L"\\Tessarin\\sandbox";
  // A second suite on one machine meets a warm cache and what the first left.
  g_suite.report["options"]["an earlier run left the helper's state"] = exists(g.state);
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
  // Ctrl+C may come ignored from an ancestor started in a new process group,
  // and everything the suite starts would inherit that; the Ctrl+C row needs
  // it delivered to the helper.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  g.console_input =
      Handle(CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
  g.null_input = Handle(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, OPEN_EXISTING, 0, nullptr));
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

}  // namespace acceptance

int wmain(int argc, wchar_t** argv) {
  using namespace acceptance;
  // A crashing child must end, not wait behind an error dialog; everything
  // the suite starts inherits this.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  auto options = parse_options(argc, argv);
  if (!options) {
    std::printf(
        "usage: tessarin-acceptance.exe [--report <file>] [--work <dir>] [--net-target "
        "<ipv4>:<port>] [--require-network] [--require-decisive] [--large-tree]\n"
        "                               [--audit-module <NtObjectManager.psd1>]\n"
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
                               {"require decisive", g_suite.require_decisive},
                               {"large tree", g_suite.large_tree},
                               {"audit module", u8(g.audit_module)}};
  if (!options->cleanup) g_suite.path = options->report;
  const auto finish_report = [&](int code) {
    // Named also when a check failed, so one run says all that is open.
    if ((code == kPassed || code == kFailed) && g_suite.require_decisive) {
      const std::vector<std::string> open = undecided();
      for (const auto& item : open) std::printf("NOT DECISIVE  %s\n", item.c_str());
      if (!open.empty()) {
        g_suite.report["not decisive"] = open;
        code = kFailed;
      }
    }
    write_report(code);
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
  if (!record({.name = "setup then status reports ready",
               .promise = "setup makes the machine ready",
               .pass = setup.exit == 0 && setup.out == "{\"version\":1,\"ready\":true}\n" &&
                       status.out == kReadyLine,
               .detail = "setup exit " + std::to_string(setup.exit) + " " + setup.out + setup.err +
                         "; status " + status.out + status.err,
               .advice = "make setup register every profile and rule, then the marker"})) {
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
    toolchains();
    take_measurements();
    judge_figures();
    interrupt_during_grants();
    settle_questions();
  } catch (const std::exception& e) {
    record({.name = "the suite ran to its end",
            .promise = "the suite's own code holds",
            .pass = false,
            .detail = e.what(),
            .advice = "nothing: a fault of the suite"});
  }

  spill(g.io + L"\\stop-caller", "stop");
  finish(g.caller, 30000);
  return finish_report(g_suite.failures == 0 ? kPassed : kFailed);
}
