#include "platform/win32/launcher.h"

#include <windows.h>

#include <array>

#include "platform/win32/child_process.h"
#include "platform/win32/console_guard.h"
#include "platform/win32/handle.h"
#include "platform/win32/inheritable.h"
#include "platform/win32/owners.h"
#include "platform/win32/system_error.h"

namespace tessarin::win32 {
namespace {

class Win32AttributeList final : public LaunchApi::AttributeList {
 public:
  explicit Win32AttributeList(std::unique_ptr<ProcThreadAttributes> attributes)
      : list(std::move(attributes)) {}
  std::unique_ptr<ProcThreadAttributes> list;
};

ProcThreadAttributes& attributes_of(LaunchApi::AttributeList& list) {
  return *static_cast<Win32AttributeList&>(list).list;
}

class Win32StandardHandles final : public LaunchApi::StandardHandles {
 public:
  // In, out, err: what the child's startup information names, and all it
  // inherits.
  StandardStreams streams{};
  // Duplicates and null devices made for the child, closed with this object.
  std::vector<UniqueHandle> made;
};

class Win32ConsoleGuard final : public LaunchApi::ConsoleGuard {
  win32::ConsoleGuard guard_;
};

// How long clean-up waits for an ended job's processes to die, and how often
// it looks.
constexpr int kJobEndPolls = 500;
constexpr DWORD kJobEndPollMs = 10;

}  // namespace

SysResult<std::size_t> Win32LaunchApi::attribute_list_size(std::size_t count) {
  return ProcThreadAttributes::size_for(count);
}

SysResult<std::unique_ptr<LaunchApi::AttributeList>> Win32LaunchApi::initialize_attribute_list(
    std::size_t bytes, std::size_t count) {
  auto list = ProcThreadAttributes::initialize(bytes, count);
  if (!list) return list.propagate();
  return std::unique_ptr<AttributeList>(std::make_unique<Win32AttributeList>(std::move(*list)));
}

SysStatus Win32LaunchApi::set_security_capabilities(AttributeList& list,
                                                    const void* app_container_sid,
                                                    const std::vector<const void*>& capabilities) {
  std::vector<PSID> sids;
  for (const void* sid : capabilities) sids.push_back(const_cast<PSID>(sid));
  return attributes_of(list).set_security_capabilities(const_cast<PSID>(app_container_sid), sids);
}

SysResult<std::unique_ptr<LaunchApi::StandardHandles>> Win32LaunchApi::standard_handles() {
  auto handles = std::make_unique<Win32StandardHandles>();
  const std::array<DWORD, 3> which = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (std::size_t i = 0; i < which.size(); ++i) {
    // Output and error are often one handle: it is made inheritable once.
    const HANDLE own = GetStdHandle(which[i]);
    if (i > 0 && own != nullptr && own != INVALID_HANDLE_VALUE &&
        own == GetStdHandle(which[i - 1])) {
      handles->streams[i] = handles->streams[i - 1];
      continue;
    }
    auto stream = inheritable_standard_handle(which[i], handles->made);
    if (!stream) return stream.propagate();
    handles->streams[i] = *stream;
  }
  return std::unique_ptr<StandardHandles>(std::move(handles));
}

SysStatus Win32LaunchApi::set_handle_list(AttributeList& list, StandardHandles& handles) {
  const StandardStreams& streams = static_cast<Win32StandardHandles&>(handles).streams;
  return attributes_of(list).set_handle_list({streams.begin(), streams.end()});
}

SysResult<std::unique_ptr<Handle>> Win32LaunchApi::create_job() {
  auto job = win32::create_job();
  if (!job) return job.propagate();
  return portable(std::move(*job));
}

SysStatus Win32LaunchApi::set_kill_on_close(Handle& job) {
  return win32::set_kill_on_close(native(job));
}

void Win32LaunchApi::end_job(Handle& job) {
  const LastErrorKept kept;
  if (TerminateJobObject(native(job), kEndedExitCode)) {
    for (int poll = 0; poll < kJobEndPolls; ++poll) {
      JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
      if (!QueryInformationJobObject(native(job), JobObjectBasicAccountingInformation, &accounting,
                                     sizeof accounting, nullptr) ||
          accounting.ActiveProcesses == 0) {
        break;
      }
      Sleep(kJobEndPollMs);
    }
  }
}

SysResult<LaunchApi::Child> Win32LaunchApi::create_suspended_process(
    WideBuffer& command_line, const WideBuffer& current_directory, AttributeList& attributes,
    StandardHandles& handles) {
  // A child that shares no console with a person gets one of its own, with
  // no window: the caller's console, which its shell reads once the helper
  // returns, is out of its reach.
  const DWORD console = standard_handles_reach_a_console() ? 0 : CREATE_NO_WINDOW;
  auto created = create_suspended(nullptr, reinterpret_cast<wchar_t*>(command_line.data()),
                                  reinterpret_cast<const wchar_t*>(current_directory.data()),
                                  nullptr, attributes_of(attributes),
                                  static_cast<Win32StandardHandles&>(handles).streams, console);
  if (!created) return created.propagate();
  Child child;
  child.process = portable(std::move(created->process));
  child.thread = portable(std::move(created->thread));
  return child;
}

SysStatus Win32LaunchApi::assign_to_job(Handle& job, Handle& process) {
  if (!AssignProcessToJobObject(native(job), native(process))) return sys_fail(last_system_error());
  return {};
}

void Win32LaunchApi::terminate(Handle& process) {
  const LastErrorKept kept;
  TerminateProcess(native(process), 1);
}

SysStatus Win32LaunchApi::resume(Handle& thread) {
  if (ResumeThread(native(thread)) == static_cast<DWORD>(-1)) return sys_fail(last_system_error());
  return {};
}

std::unique_ptr<LaunchApi::ConsoleGuard> Win32LaunchApi::guard_console() {
  return std::make_unique<Win32ConsoleGuard>();
}

void Win32LaunchApi::end_on_console_event(Handle* job) {
  end_job_on_console_event(job != nullptr ? native(*job) : nullptr);
}

LaunchApi::ConsoleEvent Win32LaunchApi::console_event() {
  return win32::console_event();
}

}  // namespace tessarin::win32
