#include "platform/win32/tool_runner.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <memory>
#include <string>
#include <string_view>

#include "base/command_line.h"
#include "base/text.h"
#include "platform/tool_search.h"
#include "platform/win32/advapi.h"
#include "platform/win32/child_process.h"
#include "platform/win32/console_guard.h"
#include "platform/win32/handle.h"
#include "platform/win32/inheritable.h"
#include "platform/win32/owners.h"
#include "platform/win32/system_error.h"

namespace tessarin::win32 {
namespace {

// The name of an environment string: what comes before its first '=' but
// the leading one of the hidden per-drive entries ("=C:=C:\work").
std::u16string_view variable_name(std::u16string_view entry) {
  return entry.substr(0, entry.find(u'=', 1));
}

// Compares two names as Windows does: ordinally, ignoring case.
int compare_names(std::u16string_view a, std::u16string_view b) {
  return CompareStringOrdinal(
      reinterpret_cast<const wchar_t*>(a.data()), static_cast<int>(a.size()),
      reinterpret_cast<const wchar_t*>(b.data()), static_cast<int>(b.size()), TRUE);
}

// The helper's own environment with `overrides` in place, as the block
// CreateProcessW takes: "name=value" strings, each ended by a null, sorted
// by name as Windows requires, and one more null.
SysResult<std::u16string> environment_block(const std::vector<VariableOverride>& overrides) {
  const UniqueEnvironmentStrings own(GetEnvironmentStringsW());
  if (!own) return sys_fail(last_system_error());
  std::vector<std::u16string> entries;
  for (const wchar_t* entry = own.get(); *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    entries.emplace_back(reinterpret_cast<const char16_t*>(entry));
  }
  for (const VariableOverride& variable : overrides) {
    const std::u16string name = utf8_to_utf16(variable.name);
    std::erase_if(entries, [&](const std::u16string& entry) {
      return compare_names(variable_name(entry), name) == CSTR_EQUAL;
    });
    entries.push_back(name + u"=" + utf8_to_utf16(variable.value));
  }
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return compare_names(variable_name(a), variable_name(b)) == CSTR_LESS_THAN;
  });
  std::u16string block;
  for (const std::u16string& entry : entries) {
    block += entry;
    block += u'\0';
  }
  block += u'\0';
  return block;
}

// A console program started by a process without a console gets one of its
// own, window and all: a helper started detached, or by a service or a
// windowed program that gave it none, would flash a window for every tool.
// A tool whose output reaches the helper's console, or a helper with a
// console window, shares that console, as the child does. Otherwise the tool
// writes only to files or pipes and starts with no console at all: a console
// of its own, even without a window, costs a console host process per tool.
// (A console program it started in turn would open a window; PowerShell
// running the firewall cmdlets starts none.)
DWORD console_flags() {
  return GetConsoleWindow() != nullptr || standard_handles_reach_a_console() ? 0 : DETACHED_PROCESS;
}

// Starts the tool with exactly the three given standard handles, which must
// be inheritable, inside a kill-on-close job of its own, so that whatever of
// it is still alive ends when the helper is done with it, or when the helper
// itself is killed: a helper killed mid-grant must leave no tool writing
// access entries after the next run has revoked them. It runs only once it
// is in the job, so nothing it starts escapes. A null `environment` gives it
// the helper's.
// It starts in `directory`, the system directory: the helper's own current
// directory is often the workspace, which a command may write, and a DLL the
// tool looks for and the system lacks would be loaded from there, under
// setup with the administrator's rights.
SysResult<StartedChild> start_tool(const std::string& path, const std::string& bare_name,
                                   const std::vector<std::string>& arguments,
                                   const StandardStreams& streams,
                                   const std::u16string* environment, const std::string& directory,
                                   DWORD extra_flags) {
  std::vector<std::string> command{bare_name};
  command.insert(command.end(), arguments.begin(), arguments.end());
  WideBuffer line = build_command_line(command);
  WideBuffer application = to_wide_nul(path);
  WideBuffer current_directory = to_wide_nul(directory);
  ChildStart start;
  start.application = wide(application);
  start.command_line = wide(line);
  start.directory = wide(current_directory);
  start.environment = environment != nullptr ? wide(*environment) : nullptr;
  start.streams = streams;
  start.flags = extra_flags;
  auto tool = start_suspended_in_job(start);
  if (!tool) return sys_fail(tool.error().error);
  // A tool that cannot be resumed is ended with its job.
  if (ResumeThread(tool->thread.get()) == static_cast<DWORD>(-1)) {
    return sys_fail(last_system_error());
  }
  return std::move(*tool);
}

// A pipe name no other process can foresee, so that none can create it first
// and be read as the tool's output.
SysResult<std::string> unguessable_pipe_name() {
  std::array<unsigned char, 16> random{};
  if (!advapi::gen_random(random.data(), static_cast<ULONG>(random.size()))) {
    return sys_fail(last_system_error());
  }
  std::string name = "\\\\.\\pipe\\Tessarin.Sandbox.Tool.";
  static constexpr char kDigits[] = "0123456789abcdef";
  for (const unsigned char byte : random) {
    name += kDigits[byte >> 4];
    name += kDigits[byte & 15];
  }
  return name;
}

// A security descriptor whose only entry gives the helper's own user full
// access: nobody else can open the pipe, by name or otherwise.
SysResult<UniqueLocal> owner_only_descriptor() {
  UniqueHandle token;
  if (!advapi::open_process_token(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    return sys_fail(last_system_error());
  }
  DWORD size = 0;
  advapi::get_token_information(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 ||
      !advapi::get_token_information(token.get(), TokenUser, buffer.data(), size, &size)) {
    return sys_fail(last_system_error());
  }
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  UniqueLocal sid_text;
  if (!advapi::convert_sid_to_string_sid(user->User.Sid,
                                         reinterpret_cast<wchar_t**>(sid_text.put()))) {
    return sys_fail(last_system_error());
  }
  const std::wstring sddl =
      std::wstring(L"D:P(A;;GA;;;") + static_cast<const wchar_t*>(sid_text.get()) + L")";
  UniqueLocal descriptor;
  if (!advapi::convert_string_security_descriptor(sddl.c_str(), SDDL_REVISION_1, descriptor.put(),
                                                  nullptr)) {
    return sys_fail(last_system_error());
  }
  return descriptor;
}

// What a tool's run fails with when the process it was to end with has
// ended: its job goes with it.
SystemError watched_ended() {
  return system_error(ERROR_PROCESS_ABORTED);
}

// Waits for the tool's exit, or for `watched` (null: nothing) to end first.
SysResult<std::uint32_t> wait_for_exit(const UniqueHandle& process, HANDLE watched) {
  const std::array<HANDLE, 2> objects{process.get(), watched};
  const DWORD which =
      WaitForMultipleObjects(watched != nullptr ? 2 : 1, objects.data(), FALSE, INFINITE);
  if (which == WAIT_OBJECT_0 + 1) return sys_fail(watched_ended());
  if (which != WAIT_OBJECT_0) return sys_fail(last_system_error());
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) return sys_fail(last_system_error());
  return static_cast<std::uint32_t>(code);
}

// The reading end of a pipe, read with overlapped I/O so that two pipes can
// be drained together on one thread.
class PipeReader {
 public:
  explicit PipeReader(std::string* sink) : sink_(sink) {}
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;
  ~PipeReader() {
    // The system writes into `overlapped_` and `buffer_` until a pending read
    // has finished; it must be cancelled and waited for before they go.
    if (pending_) {
      DWORD got = 0;
      CancelIoEx(pipe_.get(), &overlapped_);
      GetOverlappedResult(pipe_.get(), &overlapped_, &got, TRUE);
    }
  }

  // Creates the pipe; yields the inheritable writing end for the tool.
  SysResult<UniqueHandle> open() {
    auto name = unguessable_pipe_name();
    if (!name) return name.propagate();
    auto descriptor = owner_only_descriptor();
    if (!descriptor) return descriptor.propagate();
    SECURITY_ATTRIBUTES owner_only{sizeof owner_only, descriptor->get(), FALSE};
    const WideBuffer wide_name = to_wide_nul(*name);
    pipe_ = UniqueHandle(CreateNamedPipeW(
        reinterpret_cast<const wchar_t*>(wide_name.data()),
        PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        kBufferSize, 0, &owner_only));
    if (!pipe_) return sys_fail(last_system_error());
    event_ = UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event_) return sys_fail(last_system_error());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle writer(CreateFileW(reinterpret_cast<const wchar_t*>(wide_name.data()),
                                    GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr));
    if (!writer) return sys_fail(last_system_error());
    return writer;
  }

  bool open_for_reading() const { return open_; }
  HANDLE event() const { return event_.get(); }

  // Issues the next read; a closed writing end ends the stream.
  SysStatus start_read() {
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.get();
    if (ReadFile(pipe_.get(), buffer_.data(), kBufferSize, nullptr, &overlapped_) ||
        GetLastError() == ERROR_IO_PENDING) {
      pending_ = true;
      return {};
    }
    return finish(GetLastError());
  }

  // Called when the event is signalled: takes the bytes, reads on.
  SysStatus complete() {
    DWORD got = 0;
    const BOOL ok = GetOverlappedResult(pipe_.get(), &overlapped_, &got, FALSE);
    pending_ = false;
    if (!ok) return finish(GetLastError());
    if (sink_ != nullptr) sink_->append(buffer_.data(), got);
    return start_read();
  }

 private:
  static constexpr DWORD kBufferSize = 65536;

  SysStatus finish(DWORD error) {
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) {
      open_ = false;
      return {};
    }
    return sys_fail(system_error(error));
  }

  std::string* sink_;  // null: the bytes are dropped as they arrive
  UniqueHandle pipe_;
  UniqueHandle event_;
  OVERLAPPED overlapped_{};
  std::array<char, kBufferSize> buffer_{};
  bool pending_ = false;
  bool open_ = true;
};

}  // namespace

SysResult<std::uint32_t> Win32ToolRunner::run_inheriting(
    const std::string& bare_name, const std::vector<std::string>& arguments,
    const std::vector<VariableOverride>& overrides) {
  auto path = find_tool(env_, files_, bare_name);
  if (!path) return path.propagate();
  std::u16string environment;
  if (!overrides.empty()) {
    auto block = environment_block(overrides);
    if (!block) return block.propagate();
    environment = std::move(*block);
  }
  auto tool = [&]() -> SysResult<StartedChild> {
    // What is made for the tool is the tool's alone: it is closed as soon as
    // the tool has been created, not held while it runs.
    std::vector<UniqueHandle> made;
    auto in = open_null_device(GENERIC_READ);
    if (!in) return in.propagate();
    auto out = inheritable_standard_handle(STD_OUTPUT_HANDLE, made);
    if (!out) return out.propagate();
    auto err = inheritable_standard_handle(STD_ERROR_HANDLE, made);
    if (!err) return err.propagate();
    return start_tool(*path, bare_name, arguments, {in->get(), *out, *err},
                      overrides.empty() ? nullptr : &environment, env_.system_directory(),
                      console_flags());
  }();
  if (!tool) return tool.propagate();
  return wait_for_exit(tool->process, watched_);
}

SysResult<CapturedRun> Win32ToolRunner::run_capturing(const std::string& bare_name,
                                                      const std::vector<std::string>& arguments) {
  auto path = find_tool(env_, files_, bare_name);
  if (!path) return path.propagate();
  CapturedRun run;
  PipeReader out_reader(nullptr);
  PipeReader err_reader(&run.standard_error);
  auto tool = [&]() -> SysResult<StartedChild> {
    // The tool's ends are closed as soon as it has been created, so that the
    // pipes report their end when the tool (and anything it started) is done.
    auto in = open_null_device(GENERIC_READ);
    if (!in) return in.propagate();
    auto out = out_reader.open();
    if (!out) return out.propagate();
    auto err = err_reader.open();
    if (!err) return err.propagate();
    // Its output goes to pipes, so it needs no console at all, with or
    // without a window; and a Ctrl+C on the helper's console cannot cut a
    // grant or a revocation short.
    return start_tool(*path, bare_name, arguments, {in->get(), out->get(), err->get()}, nullptr,
                      env_.system_directory(), CREATE_NO_WINDOW);
  }();
  if (!tool) return tool.propagate();

  for (PipeReader* reader : {&out_reader, &err_reader}) {
    if (auto started = reader->start_read(); !started) return started.propagate();
  }
  while (out_reader.open_for_reading() || err_reader.open_for_reading()) {
    std::array<PipeReader*, 2> waiting{};
    std::array<HANDLE, 3> events{};
    DWORD count = 0;
    for (PipeReader* reader : {&out_reader, &err_reader}) {
      if (reader->open_for_reading()) {
        waiting[count] = reader;
        events[count++] = reader->event();
      }
    }
    // Last, so that output already there is taken first.
    events[count] = watched_;
    const DWORD which = WaitForMultipleObjects(count + (watched_ != nullptr ? 1 : 0), events.data(),
                                               FALSE, INFINITE);
    if (watched_ != nullptr && which == WAIT_OBJECT_0 + count) return sys_fail(watched_ended());
    if (which >= WAIT_OBJECT_0 + count) return sys_fail(last_system_error());
    if (auto read = waiting[which - WAIT_OBJECT_0]->complete(); !read) return read.propagate();
  }
  auto code = wait_for_exit(tool->process, watched_);
  if (!code) return code.propagate();
  run.exit_code = *code;
  return run;
}

void Win32ToolRunner::end_with(Handle* watched) {
  watched_ = watched != nullptr ? native(*watched) : nullptr;
}

}  // namespace tessarin::win32
