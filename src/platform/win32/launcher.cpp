#include "platform/win32/launcher.h"

#include <windows.h>

#include <algorithm>
#include <array>

#include "platform/win32/inheritable.h"
#include "platform/win32/owners.h"

namespace tessarin::win32 {
namespace {

static_assert(sizeof(SECURITY_CAPABILITIES) == 24);
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144);
static_assert(sizeof(STARTUPINFOEXW) == 112);

template <class T>
using Outcome = LaunchApi::Outcome<T>;

Err<std::uint32_t> last_error() {
  return Err<std::uint32_t>{GetLastError()};
}

class Win32Handle final : public LaunchApi::Handle {
 public:
  explicit Win32Handle(HANDLE handle) : handle_(handle) {}
  HANDLE get() const { return handle_.get(); }

 private:
  UniqueHandle handle_;
};

HANDLE native(LaunchApi::Handle& handle) {
  return static_cast<Win32Handle&>(handle).get();
}

// The list lives in `buffer_`; `capabilities_` and `entries_` are what its
// security attribute points to, kept here so that they live exactly as long as
// the list.
class Win32AttributeList final : public LaunchApi::AttributeList {
 public:
  explicit Win32AttributeList(std::size_t bytes) : buffer_(new unsigned char[bytes]) {}
  Win32AttributeList(const Win32AttributeList&) = delete;
  Win32AttributeList& operator=(const Win32AttributeList&) = delete;
  // The list is deleted before its buffer goes (the member is destroyed after
  // this body), and the caller's last error survives both.
  ~Win32AttributeList() override {
    if (initialized_) {
      const DWORD saved = GetLastError();
      DeleteProcThreadAttributeList(get());
      SetLastError(saved);
    }
  }

  LPPROC_THREAD_ATTRIBUTE_LIST get() const {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.get());
  }
  bool initialize(std::size_t bytes, std::size_t count) {
    SIZE_T size = bytes;
    initialized_ =
        InitializeProcThreadAttributeList(get(), static_cast<DWORD>(count), 0, &size) != FALSE;
    return initialized_;
  }
  bool set_security_capabilities(const void* sid, const std::vector<const void*>& capabilities) {
    entries_.clear();
    for (const void* capability : capabilities) {
      entries_.push_back(SID_AND_ATTRIBUTES{const_cast<PSID>(capability), SE_GROUP_ENABLED});
    }
    capabilities_ = SECURITY_CAPABILITIES{};
    capabilities_.AppContainerSid = const_cast<PSID>(sid);
    capabilities_.Capabilities = entries_.empty() ? nullptr : entries_.data();
    capabilities_.CapabilityCount = static_cast<DWORD>(entries_.size());
    capabilities_.Reserved = 0;
    return UpdateProcThreadAttribute(get(), 0, PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES,
                                     &capabilities_, sizeof capabilities_, nullptr,
                                     nullptr) != FALSE;
  }

 private:
  std::unique_ptr<unsigned char[]> buffer_;
  bool initialized_ = false;
  SECURITY_CAPABILITIES capabilities_{};
  std::vector<SID_AND_ATTRIBUTES> entries_;
};

class Win32StandardHandles final : public LaunchApi::StandardHandles {
 public:
  // In, out, err: what the child's startup information names.
  std::array<HANDLE, 3> streams{};
  // Each distinct value once: what the child inherits.
  std::vector<HANDLE> distinct;
  // Duplicates and null devices made for the child, closed with this object.
  std::vector<UniqueHandle> made;
};

// A standard handle the child can inherit, which `made` keeps when it had to
// be made. GetStdHandle may yield nothing, or a value that names no handle
// (a caller that closed it): the null device stands in for either.
bool inheritable_stream(DWORD which, std::vector<UniqueHandle>& made, HANDLE& result) {
  const HANDLE own = GetStdHandle(which);
  DWORD flags = 0;
  const bool names_a_handle =
      own != nullptr && own != INVALID_HANDLE_VALUE && GetHandleInformation(own, &flags);
  if (names_a_handle && (flags & HANDLE_FLAG_INHERIT) != 0) {
    result = own;
    return true;
  }
  auto handle = names_a_handle
                    ? inheritable_copy(own)
                    : open_null_device(which == STD_INPUT_HANDLE ? GENERIC_READ : GENERIC_WRITE);
  if (!handle) {
    SetLastError(handle.error().code);
    return false;
  }
  result = handle->get();
  made.push_back(std::move(*handle));
  return true;
}

// What the console handler routine acts on; it runs on a thread of its own.
SRWLOCK console_lock = SRWLOCK_INIT;
HANDLE console_job = nullptr;  // borrowed; cleared before the job is closed
bool console_closing = false;

constexpr UINT kEndedExitCode = 1;

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      // The child shares the console and gets the event itself; the helper
      // cleans up when it ends.
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      AcquireSRWLockExclusive(&console_lock);
      console_closing = true;
      if (console_job != nullptr) TerminateJobObject(console_job, kEndedExitCode);
      ReleaseSRWLockExclusive(&console_lock);
      // The main thread now sees the child end, revokes and exits the
      // process, which ends this thread. Returning would end the helper at
      // once; if the clean-up outlasts the time the system gives, the system
      // ends it, and the lease lets the identity's next run finish the job.
      Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

class Win32ConsoleGuard final : public LaunchApi::ConsoleGuard {
 public:
  // Without a console there are no events to handle, so a failure to install
  // changes nothing.
  Win32ConsoleGuard() { SetConsoleCtrlHandler(on_console_event, TRUE); }
  Win32ConsoleGuard(const Win32ConsoleGuard&) = delete;
  Win32ConsoleGuard& operator=(const Win32ConsoleGuard&) = delete;
  ~Win32ConsoleGuard() override {
    const DWORD saved = GetLastError();
    SetConsoleCtrlHandler(on_console_event, FALSE);
    SetLastError(saved);
  }
};

// How long clean-up waits for an ended job's processes to die, and how often
// it looks.
constexpr int kJobEndPolls = 500;
constexpr DWORD kJobEndPollMs = 10;

}  // namespace

void* native_handle(LaunchApi::Handle& handle) {
  return native(handle);
}

LaunchApi::ListSize Win32LaunchApi::attribute_list_size(std::size_t count) {
  SIZE_T size = 0;
  // The call fails by design when asked for the size; only the size counts.
  InitializeProcThreadAttributeList(nullptr, static_cast<DWORD>(count), 0, &size);
  return ListSize{size, GetLastError()};
}

Outcome<std::unique_ptr<LaunchApi::AttributeList>> Win32LaunchApi::initialize_attribute_list(
    std::size_t bytes, std::size_t count) {
  auto list = std::make_unique<Win32AttributeList>(bytes);
  if (!list->initialize(bytes, count)) return last_error();
  return std::unique_ptr<AttributeList>(std::move(list));
}

Outcome<void> Win32LaunchApi::set_security_capabilities(
    AttributeList& list, const void* app_container_sid,
    const std::vector<const void*>& capabilities) {
  if (!static_cast<Win32AttributeList&>(list).set_security_capabilities(app_container_sid,
                                                                        capabilities)) {
    return last_error();
  }
  return {};
}

Outcome<std::unique_ptr<LaunchApi::StandardHandles>> Win32LaunchApi::standard_handles() {
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
    if (!inheritable_stream(which[i], handles->made, handles->streams[i])) return last_error();
  }
  for (const HANDLE stream : handles->streams) {
    if (std::find(handles->distinct.begin(), handles->distinct.end(), stream) ==
        handles->distinct.end()) {
      handles->distinct.push_back(stream);
    }
  }
  return std::unique_ptr<StandardHandles>(std::move(handles));
}

Outcome<void> Win32LaunchApi::set_handle_list(AttributeList& list, StandardHandles& handles) {
  auto& distinct = static_cast<Win32StandardHandles&>(handles).distinct;
  if (!UpdateProcThreadAttribute(static_cast<Win32AttributeList&>(list).get(), 0,
                                 PROC_THREAD_ATTRIBUTE_HANDLE_LIST, distinct.data(),
                                 distinct.size() * sizeof(HANDLE), nullptr, nullptr)) {
    return last_error();
  }
  return {};
}

Outcome<std::unique_ptr<LaunchApi::Handle>> Win32LaunchApi::create_job() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return last_error();
  return std::unique_ptr<Handle>(std::make_unique<Win32Handle>(job));
}

Outcome<void> Win32LaunchApi::set_kill_on_close(Handle& job) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(native(job), JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    return last_error();
  }
  return {};
}

void Win32LaunchApi::end_job(Handle& job) {
  const DWORD saved = GetLastError();
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
  SetLastError(saved);
}

Outcome<LaunchApi::Child> Win32LaunchApi::create_suspended_process(
    WideBuffer& command_line, const WideBuffer& current_directory, AttributeList& attributes,
    StandardHandles& handles) {
  const auto& streams = static_cast<Win32StandardHandles&>(handles).streams;
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = streams[0];
  startup.StartupInfo.hStdOutput = streams[1];
  startup.StartupInfo.hStdError = streams[2];
  startup.lpAttributeList = static_cast<Win32AttributeList&>(attributes).get();
  const DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(command_line.data()), nullptr, nullptr,
                      TRUE, flags, nullptr,
                      reinterpret_cast<const wchar_t*>(current_directory.data()),
                      &startup.StartupInfo, &info)) {
    return last_error();
  }
  Child child;
  child.process = std::make_unique<Win32Handle>(info.hProcess);
  child.thread = std::make_unique<Win32Handle>(info.hThread);
  return child;
}

Outcome<void> Win32LaunchApi::assign_to_job(Handle& job, Handle& process) {
  if (!AssignProcessToJobObject(native(job), native(process))) return last_error();
  return {};
}

void Win32LaunchApi::terminate(Handle& process) {
  const DWORD saved = GetLastError();
  TerminateProcess(native(process), 1);
  SetLastError(saved);
}

Outcome<void> Win32LaunchApi::resume(Handle& thread) {
  if (ResumeThread(native(thread)) == static_cast<DWORD>(-1)) return last_error();
  return {};
}

Outcome<std::unique_ptr<LaunchApi::Handle>> Win32LaunchApi::open_process(std::uint32_t pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return last_error();
  return std::unique_ptr<Handle>(std::make_unique<Win32Handle>(process));
}

Outcome<std::uint64_t> Win32LaunchApi::creation_time(Handle* process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process != nullptr ? native(*process) : GetCurrentProcess(), &created,
                       &exited, &kernel, &user)) {
    return last_error();
  }
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

Outcome<std::uint32_t> Win32LaunchApi::wait_for_either(Handle& first, Handle& second) {
  const HANDLE handles[2] = {native(first), native(second)};
  const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (woken == WAIT_FAILED) return last_error();
  return std::uint32_t{woken};
}

Outcome<std::uint32_t> Win32LaunchApi::wait_for(Handle& process, std::uint32_t milliseconds) {
  const DWORD woken = WaitForSingleObject(native(process), milliseconds);
  if (woken == WAIT_FAILED) return last_error();
  return std::uint32_t{woken};
}

Outcome<std::uint32_t> Win32LaunchApi::exit_code(Handle& process) {
  DWORD code = 0;
  if (!GetExitCodeProcess(native(process), &code)) return last_error();
  return std::uint32_t{code};
}

std::unique_ptr<LaunchApi::ConsoleGuard> Win32LaunchApi::guard_console() {
  return std::make_unique<Win32ConsoleGuard>();
}

void Win32LaunchApi::end_on_console_close(Handle* job) {
  AcquireSRWLockExclusive(&console_lock);
  console_job = job != nullptr ? native(*job) : nullptr;
  // A close that came before the job existed ends it at once.
  if (console_job != nullptr && console_closing) TerminateJobObject(console_job, kEndedExitCode);
  ReleaseSRWLockExclusive(&console_lock);
}

void Win32LaunchApi::pause(std::uint32_t milliseconds) {
  Sleep(milliseconds);
}

}  // namespace tessarin::win32
