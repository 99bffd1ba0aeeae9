#include "platform/win32/child_process.h"

#include <algorithm>

#include "platform/win32/system_error.h"

namespace tessarin::win32 {

static_assert(sizeof(SECURITY_CAPABILITIES) == 24);
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144);
static_assert(sizeof(STARTUPINFOEXW) == 112);

SysResult<UniqueHandle> create_job() {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) return sys_fail(last_system_error());
  return job;
}

SysStatus set_kill_on_close(HANDLE job) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return sys_fail(last_system_error());
  }
  return {};
}

SysResult<UniqueHandle> make_kill_on_close_job() {
  auto job = create_job();
  if (!job) return job;
  if (auto limited = set_kill_on_close(job->get()); !limited) return limited.propagate();
  return job;
}

SysResult<std::size_t> ProcThreadAttributes::size_for(std::size_t count) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, static_cast<DWORD>(count), 0, &size);
  if (size == 0) return sys_fail(last_system_error());
  return std::size_t{size};
}

SysResult<std::unique_ptr<ProcThreadAttributes>> ProcThreadAttributes::initialize(
    std::size_t bytes, std::size_t count) {
  std::unique_ptr<ProcThreadAttributes> list(new ProcThreadAttributes(bytes));
  SIZE_T size = bytes;
  if (!InitializeProcThreadAttributeList(list->get(), static_cast<DWORD>(count), 0, &size)) {
    return sys_fail(last_system_error());
  }
  list->initialized_ = true;
  return list;
}

SysResult<std::unique_ptr<ProcThreadAttributes>> ProcThreadAttributes::make(std::size_t count) {
  auto bytes = size_for(count);
  if (!bytes) return bytes.propagate();
  return initialize(*bytes, count);
}

ProcThreadAttributes::~ProcThreadAttributes() {
  if (initialized_) {
    const LastErrorKept kept;
    DeleteProcThreadAttributeList(get());
  }
}

SysStatus ProcThreadAttributes::set_handle_list(const std::vector<HANDLE>& handles) {
  handles_.clear();
  for (const HANDLE handle : handles) {
    if (std::find(handles_.begin(), handles_.end(), handle) == handles_.end()) {
      handles_.push_back(handle);
    }
  }
  if (!UpdateProcThreadAttribute(get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                 handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
    return sys_fail(last_system_error());
  }
  return {};
}

SysStatus ProcThreadAttributes::set_security_capabilities(PSID app_container,
                                                          const std::vector<PSID>& capabilities) {
  entries_.clear();
  for (const PSID capability : capabilities) {
    entries_.push_back(SID_AND_ATTRIBUTES{capability, SE_GROUP_ENABLED});
  }
  capabilities_ = SECURITY_CAPABILITIES{};
  capabilities_.AppContainerSid = app_container;
  capabilities_.Capabilities = entries_.empty() ? nullptr : entries_.data();
  capabilities_.CapabilityCount = static_cast<DWORD>(entries_.size());
  if (!UpdateProcThreadAttribute(get(), 0, PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES,
                                 &capabilities_, sizeof capabilities_, nullptr, nullptr)) {
    return sys_fail(last_system_error());
  }
  return {};
}

SysResult<SuspendedChild> create_suspended(const wchar_t* application, wchar_t* command_line,
                                           const wchar_t* directory, const wchar_t* environment,
                                           ProcThreadAttributes& attributes,
                                           const StandardStreams& streams, DWORD flags) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = streams[0];
  startup.StartupInfo.hStdOutput = streams[1];
  startup.StartupInfo.hStdError = streams[2];
  startup.lpAttributeList = attributes.get();
  PROCESS_INFORMATION info{};
  // The block is only read.
  void* block = const_cast<wchar_t*>(environment);
  if (!CreateProcessW(
          application, command_line, nullptr, nullptr, TRUE,
          CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT | flags,
          block, directory, &startup.StartupInfo, &info)) {
    return sys_fail(last_system_error());
  }
  return SuspendedChild{UniqueHandle(info.hProcess), UniqueHandle(info.hThread)};
}

}  // namespace tessarin::win32
