// The processes the suite starts, and its runs through the helper.

#include "suite.h"

#include <sddl.h>
#include <cmath>
#include <cstdio>
#include <cwchar>

namespace acceptance {

// ---- processes ---------------------------------------------------------------------

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
  const HANDLE input = l.own_console  ? nullptr
                       : l.null_input ? g.null_input.get()
                                      : g.console_input.get();
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

Finished finish(Started& s, DWORD timeout) {
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
Finished execute(const Launch& l, DWORD timeout) {
  Started s = start(l);
  return finish(s, timeout);
}

std::wstring system_dir() {
  wchar_t system[MAX_PATH];
  return std::wstring(system, GetSystemDirectoryW(system, MAX_PATH));
}
// The suite's own environment with `changes` made: each names a variable
// and what goes before its value (the whole value when `prepend` is false).
std::wstring environment_with(const std::vector<EnvChange>& changes) {
  std::wstring block;
  std::vector<bool> done(changes.size());
  wchar_t* const strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry; entry += std::wcslen(entry) + 1) {
    std::wstring text = entry;
    for (std::size_t i = 0; i < changes.size(); ++i) {
      const std::wstring& name = changes[i].name;
      if (_wcsnicmp(entry, (name + L"=").c_str(), name.size() + 1) != 0) continue;
      text = name + L"=" + changes[i].value +
             (changes[i].prepend ? L";" + text.substr(name.size() + 1) : L"");
      done[i] = true;
    }
    block += text + L'\0';
  }
  FreeEnvironmentStringsW(strings);
  for (std::size_t i = 0; i < changes.size(); ++i) {
    if (!done[i]) block += changes[i].name + L"=" + changes[i].value + L'\0';
  }
  return block + L'\0';
}
std::wstring system_modules() {
  return system_dir() + L"\\WindowsPowerShell\\v1.0\\Modules";
}

// The system's PowerShell with the system's modules alone: a pwsh 7 that
// started the suite leaves its own module folders first on PSModulePath, and
// Windows PowerShell cannot load those.
Finished powershell(const std::wstring& script, As as, DWORD timeout) {
  static const std::wstring environment =
      environment_with({{L"PSModulePath", system_modules(), false}});
  Launch l{{system_dir() + L"\\WindowsPowerShell\\v1.0\\powershell.exe", L"-NoProfile",
            L"-NonInteractive", L"-Command", L"$ErrorActionPreference='Stop'; " + script},
           as};
  l.environment = &environment;
  return execute(l, timeout);
}
Finished icacls(const std::wstring& path, std::vector<std::wstring> args) {
  args.insert(args.begin(), {system_dir() + L"\\icacls.exe", path});
  return execute({args, As::kElevated}, kToolTimeoutMs);
}

Machine g;

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
    text = "the helper was still running after " + std::to_string(std::lround(f.seconds)) + " s";
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
  record({.name = "clean after: " + run,
          .promise = "after every run no grant, temporary directory or lease remains",
          .pass = detail.empty(),
          .detail = detail.empty() ? "nothing left" : detail,
          .advice = "revoke every leased path after the child and its tree have ended, remove the "
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
             const RunOptions& o) {
  const Identity& id = g.ids[o.write][o.online];
  const Started& caller = o.caller ? *o.caller : g.caller;
  const std::wstring& workspace = o.workspace ? *o.workspace : g.ws;
  // A caller that is gone makes the helper end every run with 77: then
  // nothing this run shows is about the helper.
  if (WaitForSingleObject(caller.process.get(), 0) != WAIT_TIMEOUT) {
    record(
        {.name = name + " (the stand-in caller is alive)",
         .promise = "the suite's own fixtures hold",
         .pass = false,
         .detail = "the stand-in caller has exited: this run would end \"parent process exited\"",
         .advice = "nothing: this is a fault of the suite"});
    return {};
  }
  std::vector<std::wstring> argv = {g.helper,           L"run",
                                    L"--workspace",     workspace,
                                    L"--cwd",           workspace,
                                    L"--preset",        o.write ? L"workspace_write" : L"read_only",
                                    L"--parent-pid",    std::to_wstring(caller.pid),
                                    L"--writable-root", g.wroot};
  if (o.online) argv.push_back(L"--network");
  argv.insert(argv.end(), o.more.begin(), o.more.end());
  argv.push_back(L"--");
  argv.push_back(o.program.empty() ? g.probe : o.program);
  for (const auto& arg : probe_args) argv.push_back(expand(arg, id));
  Started s = start({argv, As::kUser, false, o.track, false, o.extra, o.environment, o.own_console,
                     o.null_input});
  if (o.during && s.process) o.during(s);
  Finished f = finish(s, o.limit);
  if (f.timed_out) {
    record({.name = name + " (finished in time)",
            .promise = "a run ends when its child ends",
            .pass = false,
            .detail = seen(f),
            .advice =
                "never walk into a junction loop or wait without bound on a tool or a dying tree"});
  }
  if (o.audit) audit(name, id, f.pid, workspace);
  return f;
}

}  // namespace acceptance
