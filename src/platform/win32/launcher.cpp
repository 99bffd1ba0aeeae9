#include "platform/win32/launcher.h"

#include <windows.h>

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

// The list lives in `buffer_`; `capabilities_` and `entries_` are what its one
// attribute points to, kept here so that they live exactly as long as the list.
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
  bool initialize(std::size_t bytes) {
    SIZE_T size = bytes;
    initialized_ = InitializeProcThreadAttributeList(get(), 1, 0, &size) != FALSE;
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

}  // namespace

LaunchApi::ListSize Win32LaunchApi::attribute_list_size() {
  SIZE_T size = 0;
  // The call fails by design when asked for the size; only the size counts.
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  return ListSize{size, GetLastError()};
}

Outcome<std::unique_ptr<LaunchApi::AttributeList>> Win32LaunchApi::initialize_attribute_list(
    std::size_t bytes) {
  auto list = std::make_unique<Win32AttributeList>(bytes);
  if (!list->initialize(bytes)) return last_error();
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

Outcome<LaunchApi::Child> Win32LaunchApi::create_suspended_process(
    WideBuffer& command_line, const WideBuffer& current_directory, AttributeList* attributes) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.StartupInfo.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.StartupInfo.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
  if (attributes != nullptr) {
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = static_cast<Win32AttributeList*>(attributes)->get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  } else {
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
  }
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

Outcome<std::unique_ptr<LaunchApi::Handle>> Win32LaunchApi::open_for_synchronize(
    std::uint32_t pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return last_error();
  return std::unique_ptr<Handle>(std::make_unique<Win32Handle>(process));
}

std::uint32_t Win32LaunchApi::wait_for_either(Handle& first, Handle& second) {
  const HANDLE handles[2] = {native(first), native(second)};
  return WaitForMultipleObjects(2, handles, FALSE, INFINITE);
}

Outcome<std::uint32_t> Win32LaunchApi::exit_code(Handle& process) {
  DWORD code = 0;
  if (!GetExitCodeProcess(native(process), &code)) return last_error();
  return std::uint32_t{code};
}

}  // namespace tessarin::win32
