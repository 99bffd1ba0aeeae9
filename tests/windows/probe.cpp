// The child side of the acceptance suite: performs one operation inside the
// sandbox and says by its exit code how it went, so that a missing file is
// never counted as a denial. Its first act is to write kRanMarker to standard
// output: the suite takes a verdict as the child's only with that marker, so
// that a helper failure can never pass for a denial. %NAME% in an argument is
// expanded first, so the suite can name the child's own TEMP.
//   read <file>                 create-delete <file>      write <file>
//   connect <ipv4>:<port>       handle <value|stdout>     temp-is <prefix>[|<prefix>]
//   junction <link> <target>    odd-names <dir>           lockdown <file>
//   hold <flag file> [seconds]  tree <beat> <beat>        beat <file>
//   inject                      break <beat>              exit <code>
//   cmd <command line>          open-nul                  places
//   token (prints its AppContainer SID, integrity SID and capability count)
// Started under another name (a planted powershell.exe or icacls.exe) it only
// leaves planted-ran.txt beside itself and fails.

#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h, or the old winsock header comes in first.
#include <windows.h>

#include <sddl.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "net_target.h"

namespace {

enum Outcome : int { kAllowed = 0, kDenied = 10, kNotFound = 11, kOther = 12, kUsage = 13 };
constexpr const char* kRanMarker = "tessarin-probe ran";

int classify(DWORD error, const wchar_t* what) {
  fwprintf(stderr, L"probe: %ls: error %lu\n", what, error);
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_SHARING_VIOLATION:
    case WSAEACCES:
      return kDenied;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
      return kNotFound;
    default:
      return kOther;
  }
}
int last_error(const wchar_t* what) {
  return classify(GetLastError(), what);
}

std::wstring expand(const wchar_t* text) {
  std::wstring out(32768, L'\0');
  const DWORD n = ExpandEnvironmentStringsW(text, out.data(), static_cast<DWORD>(out.size()));
  out.resize(n == 0 ? 0 : n - 1);
  return out;
}

std::wstring own_path() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

bool put(const std::wstring& path, DWORD disposition = CREATE_ALWAYS,
         SECURITY_ATTRIBUTES* security = nullptr) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  security, disposition, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, "probe\n", 6, &written, nullptr) != 0;
  const DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(error);
  return ok;
}

// A mount point (junction) at `link` that leads to `target`, made the way a
// hostile child would make one. `link` may be an empty directory already (a
// child's own TEMP). Whether a sandboxed creator needs write access to the
// target is one of the suite's questions.
bool make_junction(const std::wstring& link, const std::wstring& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return false;
  }
  std::wstring full(32768, L'\0');
  full.resize(
      GetFullPathNameW(target.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
  const std::wstring substitute = L"\\??\\" + full;
  const auto sub_bytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  const auto print_bytes = static_cast<WORD>(full.size() * sizeof(wchar_t));
  // The mount-point layout: tag, data length, reserved, then four offsets and
  // the two NUL-terminated names.
  std::vector<BYTE> buffer(8 + 8 + sub_bytes + 2 + print_bytes + 2, 0);
  auto put16 = [&](std::size_t at, WORD value) { std::memcpy(&buffer[at], &value, 2); };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(&buffer[0], &tag, 4);
  put16(4, static_cast<WORD>(buffer.size() - 8));
  put16(8, 0);
  put16(10, sub_bytes);
  put16(12, static_cast<WORD>(sub_bytes + 2));
  put16(14, print_bytes);
  std::memcpy(&buffer[16], substitute.data(), sub_bytes);
  std::memcpy(&buffer[16 + sub_bytes + 2], full.data(), print_bytes);
  const HANDLE dir =
      CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (dir == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  const bool ok =
      DeviceIoControl(dir, FSCTL_SET_REPARSE_POINT, buffer.data(),
                      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr) != 0;
  const DWORD error = GetLastError();
  CloseHandle(dir);
  SetLastError(error);
  return ok;
}

int beat(const std::wstring& file) {
  for (int i = 1; i <= 2400; ++i) {  // stops by itself after two minutes
    const std::string count = std::to_string(i);
    const HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_error(L"beat");
    DWORD written = 0;
    WriteFile(h, count.data(), static_cast<DWORD>(count.size()), &written, nullptr);
    CloseHandle(h);
    Sleep(50);
  }
  return kAllowed;
}

// A detached grandchild has no console, so no console event can end it: only
// the helper's job can.
bool start_beat(const std::wstring& file, bool detached = false) {
  std::wstring line = L"\"" + own_path() + L"\" beat \"" + file + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                      detached ? DETACHED_PROCESS : 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  for (int i = 0; i < 400 && GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
    Sleep(25);
  }
  return true;
}

int connect_to(const std::wstring& target) {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return kOther;
  const auto address = net_target::parse(target);
  if (!address) return kUsage;
  const int error = net_target::connect_within(*address, 10);
  return error == 0 ? kAllowed : classify(static_cast<DWORD>(error), L"connect");
}

// The token as the child sees it: what the suite compares with the identity
// the helper was asked for.
int token() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return last_error(L"token");
  DWORD is_container = 0, size = 0;
  BYTE container[256], label[256];
  std::vector<BYTE> capabilities(1);
  GetTokenInformation(token, TokenCapabilities, capabilities.data(), 1, &size);
  capabilities.resize(size > 0 ? size : 1);
  const bool ok =
      GetTokenInformation(token, TokenIsAppContainer, &is_container, sizeof is_container, &size) &&
      GetTokenInformation(token, TokenAppContainerSid, container, sizeof container, &size) &&
      GetTokenInformation(token, TokenIntegrityLevel, label, sizeof label, &size) &&
      GetTokenInformation(token, TokenCapabilities, capabilities.data(),
                          static_cast<DWORD>(capabilities.size()), &size);
  CloseHandle(token);
  if (!ok) return last_error(L"token information");
  const PSID sid = reinterpret_cast<TOKEN_APPCONTAINER_INFORMATION*>(container)->TokenAppContainer;
  wchar_t *sid_text = nullptr, *label_text = nullptr;
  if ((sid != nullptr && !ConvertSidToStringSidW(sid, &sid_text)) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_MANDATORY_LABEL*>(label)->Label.Sid,
                              &label_text)) {
    return last_error(L"sid");
  }
  std::printf("appcontainer=%ls integrity=%ls capabilities=%lu\n", sid_text ? sid_text : L"none",
              label_text, reinterpret_cast<TOKEN_GROUPS*>(capabilities.data())->GroupCount);
  LocalFree(sid_text);
  LocalFree(label_text);
  return is_container ? kAllowed : kOther;
}

// Names a child can give a file and a careless remover cannot take away.
int odd_names(const std::wstring& dir) {
  const std::wstring base = L"\\\\?\\" + dir + L"\\";
  std::wstring deep = base + L"deep";
  const std::wstring files[] = {base + L"trailing dot.", base + L"trailing space ", base + L"CON",
                                base + L"nul.txt", base + L"x\xD800y"};
  for (const auto& file : files) {
    if (!put(file)) return last_error(file.c_str());
  }
  while (deep.size() < 400) {
    if (!CreateDirectoryW(deep.c_str(), nullptr)) return last_error(L"deep directory");
    deep += L"\\" + std::wstring(60, L'd');
  }
  return put(deep) ? kAllowed : last_error(L"deep file");
}

// A file only the child's own package may change: its owner keeps no right
// to rewrite the access list (an OWNER RIGHTS entry overrides the implicit one).
int lockdown(const std::wstring& file) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return last_error(L"token");
  BYTE buffer[256];
  DWORD size = 0;
  const bool ok = GetTokenInformation(token, TokenAppContainerSid, buffer, sizeof buffer, &size);
  CloseHandle(token);
  const auto* container = reinterpret_cast<TOKEN_APPCONTAINER_INFORMATION*>(buffer);
  if (!ok || container->TokenAppContainer == nullptr) return kOther;
  wchar_t* sid = nullptr;
  if (!ConvertSidToStringSidW(container->TokenAppContainer, &sid)) return last_error(L"sid");
  const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")(A;;0x20000;;;OW)";
  LocalFree(sid);
  SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          sddl.c_str(), SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr)) {
    return last_error(L"descriptor");
  }
  const bool made = put(file, CREATE_NEW, &security);
  LocalFree(security.lpSecurityDescriptor);
  return made ? kAllowed : last_error(L"lockdown");
}

// Types `echo injected` and Enter into the console input it has, and says
// how it went.
bool type_line(const char* when) {
  const HANDLE input =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  std::vector<INPUT_RECORD> records;
  for (const wchar_t c : std::wstring(L"echo injected\r")) {
    INPUT_RECORD record{};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = TRUE;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.uChar.UnicodeChar = c;
    records.push_back(record);
  }
  DWORD written = 0;
  const bool ok =
      input != INVALID_HANDLE_VALUE &&
      WriteConsoleInputW(input, records.data(), static_cast<DWORD>(records.size()), &written);
  std::printf("%s: %s (error %lu)\n", when, ok ? "typed" : "not typed", ok ? 0 : GetLastError());
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  return ok;
}
// The command types into the console it was given, then leaves it, attaches
// to its parent's (the helper's, which is the caller's) and types again.
int inject() {
  type_line("own console");
  FreeConsole();
  const bool attached = AttachConsole(ATTACH_PARENT_PROCESS) != 0;
  std::printf("attach to the parent's console: %s\n", attached ? "ATTACHED" : "refused");
  if (attached) type_line("parent's console");
  return kAllowed;
}

// Runs a command line through the system's command interpreter, as build
// scripts do; its exit code decides.
int shell(const std::wstring& command) {
  std::wstring line = L"\"" + expand(L"%SystemRoot%") + L"\\System32\\cmd.exe\" /d /c " + command;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return last_error(L"cmd.exe");
  }
  DWORD code = 1;
  WaitForSingleObject(info.hProcess, 60000);
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  std::printf("cmd.exe exit %lu\n", code);
  return code == 0 ? kAllowed : kOther;
}

// Closes the console of process `pid` as its window's close button does. The
// probe leaves its own console first and the target's before the close, so
// that the event reaches only the target's processes.
int close_console(const std::wstring& pid) {
  FreeConsole();
  if (!AttachConsole(std::wcstoul(pid.c_str(), nullptr, 10))) return last_error(L"AttachConsole");
  const HWND window = GetConsoleWindow();
  FreeConsole();
  if (window == nullptr) {
    std::fprintf(stderr, "probe: the console of %ls has no window\n", pid.c_str());
    return kOther;
  }
  // Bound here, not imported: a probe that loads user32 needs a desktop it can
  // open, and every probe inside a container would then depend on one.
  using Post = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
  const HMODULE user32 = LoadLibraryW(L"user32.dll");
  const auto post =
      user32
          ? reinterpret_cast<Post>(reinterpret_cast<void*>(GetProcAddress(user32, "PostMessageW")))
          : nullptr;
  if (post == nullptr) return last_error(L"user32.dll");
  return post(window, WM_CLOSE, 0, 0) ? kAllowed : last_error(L"PostMessageW");
}

// Ctrl+C to every process on the console of `pid`, as a keystroke there
// would send it. AttachConsole resets the handler table, and the event
// reaches the probe too: it ignores Ctrl+C again before sending, and says
// "sent" once it has.
int interrupt_console(const std::wstring& pid) {
  FreeConsole();
  if (!AttachConsole(std::wcstoul(pid.c_str(), nullptr, 10))) return last_error(L"AttachConsole");
  SetConsoleCtrlHandler(nullptr, TRUE);
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return last_error(L"GenerateConsoleCtrlEvent");
  std::printf("sent\n");
  std::fflush(stdout);
  FreeConsole();
  return kAllowed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Every probe outlives console events, so that only the helper's clean-up
  // can end a tree (a handler is not inherited, so each process sets its own).
  SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE);
  const std::wstring self = own_path();
  const std::wstring name = self.substr(self.find_last_of(L'\\') + 1);
  if (_wcsicmp(name.c_str(), L"tessarin-probe.exe") != 0) {
    put(self.substr(0, self.size() - name.size()) + L"planted-ran.txt");
    return kOther;
  }
  if (argc < 2) return kUsage;
  const std::wstring op = argv[1];
  std::printf("%s %ls\n", kRanMarker, op.c_str());
  std::fflush(stdout);
  std::vector<std::wstring> a;
  for (int i = 2; i < argc; ++i) a.push_back(expand(argv[i]));
  auto need = [&](std::size_t n) { return a.size() >= n; };

  if (op == L"exit" && need(1))
    ExitProcess(static_cast<UINT>(std::wcstoul(a[0].c_str(), nullptr, 10)));
  if (op == L"read" && need(1)) {
    const HANDLE file = CreateFileW(a[0].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return last_error(L"read");
    char byte = 0;
    DWORD got = 0;
    const bool ok = ReadFile(file, &byte, 1, &got, nullptr) != 0;
    CloseHandle(file);
    return ok ? kAllowed : last_error(L"read");
  }
  if (op == L"write" && need(1)) return put(a[0]) ? kAllowed : last_error(L"write");
  if (op == L"create-delete" && need(1)) {
    if (!put(a[0])) return last_error(L"create");
    return DeleteFileW(a[0].c_str()) ? kAllowed : last_error(L"delete");
  }
  if (op == L"connect" && need(1)) return connect_to(a[0]);
  if (op == L"handle" && need(1)) {
    const HANDLE h = a[0] == L"stdout" ? GetStdHandle(STD_OUTPUT_HANDLE)
                                       : reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(
                                             std::wcstoull(a[0].c_str(), nullptr, 10)));
    DWORD written = 0;
    return WriteFile(h, "leak\n", 5, &written, nullptr) ? kAllowed : last_error(L"handle");
  }
  // Either of two prefixes, split at '|' and expanded here: Windows may
  // reroute a container's TEMP into its own folder whatever the helper sets.
  if (op == L"temp-is" && need(1)) {
    const auto bar = a[0].find(L'|');
    const std::wstring first = expand(a[0].substr(0, bar).c_str());
    const std::wstring second =
        bar == std::wstring::npos ? first : expand(a[0].substr(bar + 1).c_str());
    const auto starts = [](const std::wstring& value, const std::wstring& prefix) {
      return _wcsnicmp(value.c_str(), prefix.c_str(), prefix.size()) == 0;
    };
    for (const wchar_t* variable : {L"TEMP", L"TMP"}) {
      const std::wstring value = expand((L"%" + std::wstring(variable) + L"%").c_str());
      if (!starts(value, first) && !starts(value, second)) {
        fwprintf(stderr, L"probe: %ls is %ls\n", variable, value.c_str());
        return kOther;
      }
    }
    return kAllowed;
  }
  if (op == L"junction" && need(2))
    return make_junction(a[0], a[1]) ? kAllowed : last_error(L"junction");
  if (op == L"token") return token();
  if (op == L"odd-names" && need(1)) return odd_names(a[0]);
  if (op == L"lockdown" && need(1)) return lockdown(a[0]);
  if (op == L"hold" && need(1)) {
    put(a[0] + L".held");  // tells the suite the run is under way, where it can
    // Two minutes by default; 0 holds until told, for the suite's stand-in
    // caller, which dies with the suite's job if the suite dies first.
    const unsigned long seconds = need(2) ? std::wcstoul(a[1].c_str(), nullptr, 10) : 120;
    for (unsigned long i = 0; (seconds == 0 || i < seconds * 10) &&
                              GetFileAttributesW(a[0].c_str()) == INVALID_FILE_ATTRIBUTES;
         ++i) {
      Sleep(100);
    }
    return kAllowed;
  }
  if (op == L"beat" && need(1)) return beat(a[0]);
  if (op == L"tree" && need(2)) return start_beat(a[1]) ? beat(a[0]) : last_error(L"grandchild");
  if (op == L"detached-tree" && need(2))
    return start_beat(a[1], true) ? beat(a[0]) : last_error(L"grandchild");
  if (op == L"close-console" && need(1)) return close_console(a[0]);
  if (op == L"interrupt-console" && need(1)) return interrupt_console(a[0]);
  if (op == L"inject") return inject();
  if (op == L"cmd" && need(1)) return shell(a[0]);
  if (op == L"open-nul") {
    const HANDLE nul = CreateFileW(L"\\\\.\\NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD written = 0;
    const bool ok = nul != INVALID_HANDLE_VALUE && WriteFile(nul, "x", 1, &written, nullptr);
    const int result = ok ? kAllowed : last_error(L"\\\\.\\NUL");
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    return result;
  }
  if (op == L"places") {
    wchar_t temp[MAX_PATH + 1] = L"";
    GetTempPathW(MAX_PATH + 1, temp);
    for (const wchar_t* variable : {L"%TEMP%", L"%TMP%", L"%LOCALAPPDATA%"}) {
      std::printf("%ls=%ls\n", variable, expand(variable).c_str());
    }
    std::printf("GetTempPathW=%ls\n", temp);
    return kAllowed;
  }
  if (op == L"break" && need(1)) {
    if (!start_beat(a[0])) return last_error(L"grandchild");
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0)) return last_error(L"Ctrl+Break");
    Sleep(3000);
    return kAllowed;
  }
  return kUsage;
}
