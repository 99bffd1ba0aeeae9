#include "platform/win32/child_process.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "platform/win32/system_error.h"

namespace tessarin::win32 {
namespace {

static_assert(sizeof(SECURITY_CAPABILITIES) == 24);
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144);
static_assert(sizeof(STARTUPINFOEXW) == 112);

// A process-thread attribute list with its buffer and the records its
// attributes point to, all of which must stay valid until the process has
// been created. Destroying it deletes the list, then frees the buffer, and
// keeps the last error.
class ProcThreadAttributes {
 public:
  explicit ProcThreadAttributes(std::size_t bytes) : buffer_(new unsigned char[bytes]) {}
  ProcThreadAttributes(const ProcThreadAttributes&) = delete;
  ProcThreadAttributes& operator=(const ProcThreadAttributes&) = delete;
  ~ProcThreadAttributes() {
    if (initialized_) {
      const LastErrorKept kept;
      DeleteProcThreadAttributeList(get());
    }
  }

  SysStatus initialize(std::size_t bytes, std::size_t count) {
    SIZE_T size = bytes;
    if (!InitializeProcThreadAttributeList(get(), static_cast<DWORD>(count), 0, &size)) {
      return sys_fail(last_system_error());
    }
    initialized_ = true;
    return {};
  }

  // Each distinct handle once, as the list requires (output and error are
  // often one handle). Without it, every inheritable handle of the helper
  // would reach the child.
  SysStatus set_handle_list(const StandardStreams& streams) {
    for (const HANDLE handle : streams) {
      if (std::find(handles_.begin(), handles_.end(), handle) == handles_.end()) {
        handles_.push_back(handle);
      }
    }
    return update(PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                  handles_.size() * sizeof(HANDLE));
  }

  SysStatus set_security_capabilities(const Confinement& confinement) {
    for (const void* capability : confinement.capabilities) {
      entries_.push_back(SID_AND_ATTRIBUTES{const_cast<PSID>(capability), SE_GROUP_ENABLED});
    }
    capabilities_.AppContainerSid = const_cast<PSID>(confinement.app_container_sid);
    capabilities_.Capabilities = entries_.empty() ? nullptr : entries_.data();
    capabilities_.CapabilityCount = static_cast<DWORD>(entries_.size());
    return update(PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES, &capabilities_,
                  sizeof capabilities_);
  }

  LPPROC_THREAD_ATTRIBUTE_LIST get() const {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.get());
  }

 private:
  SysStatus update(DWORD_PTR attribute, void* value, std::size_t size) {
    if (!UpdateProcThreadAttribute(get(), 0, attribute, value, size, nullptr, nullptr)) {
      return sys_fail(last_system_error());
    }
    return {};
  }

  std::unique_ptr<unsigned char[]> buffer_;
  bool initialized_ = false;
  std::vector<HANDLE> handles_;
  SECURITY_CAPABILITIES capabilities_{};
  std::vector<SID_AND_ATTRIBUTES> entries_;
};

Err<LaunchFailure> failed(LaunchStep step, SystemError error = last_system_error()) {
  return Err<LaunchFailure>{LaunchFailure{step, std::move(error)}};
}

// The list a child's start carries: security capabilities for a confined
// child, and the handle list.
Result<std::unique_ptr<ProcThreadAttributes>, LaunchFailure> attributes_for(
    const ChildStart& start) {
  const std::size_t count = start.confinement != nullptr ? 2 : 1;
  // The sizing call fails by design; only a size of zero is a failure.
  SIZE_T bytes = 0;
  InitializeProcThreadAttributeList(nullptr, static_cast<DWORD>(count), 0, &bytes);
  if (bytes == 0) return failed(LaunchStep::kSizeList);
  auto list = std::make_unique<ProcThreadAttributes>(bytes);
  if (auto made = list->initialize(bytes, count); !made) {
    return failed(LaunchStep::kInitializeList, made.error());
  }
  if (start.confinement != nullptr) {
    if (auto set = list->set_security_capabilities(*start.confinement); !set) {
      return failed(LaunchStep::kCapabilities, set.error());
    }
  }
  if (auto set = list->set_handle_list(start.streams); !set) {
    return failed(LaunchStep::kHandleList, set.error());
  }
  return list;
}

}  // namespace

Result<StartedChild, LaunchFailure> start_suspended_in_job(const ChildStart& start) {
  // Locals in the order they are made, so that every path out releases them
  // in reverse: thread, process, job, and then the attribute list.
  auto attributes = attributes_for(start);
  if (!attributes) return attributes.propagate();
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) return failed(LaunchStep::kCreateJob);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    return failed(LaunchStep::kKillOnClose);
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = start.streams[0];
  startup.StartupInfo.hStdOutput = start.streams[1];
  startup.StartupInfo.hStdError = start.streams[2];
  startup.lpAttributeList = (*attributes)->get();
  PROCESS_INFORMATION info{};
  // The block is only read.
  void* block = const_cast<wchar_t*>(start.environment);
  if (!CreateProcessW(start.application, start.command_line, nullptr, nullptr, TRUE,
                      CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT |
                          start.flags,
                      block, start.directory, &startup.StartupInfo, &info)) {
    return failed(LaunchStep::kCreateProcess);
  }
  StartedChild child{std::move(job), UniqueHandle(info.hProcess), UniqueHandle(info.hThread)};
  if (!AssignProcessToJobObject(child.job.get(), child.process.get())) {
    const SystemError error = last_system_error();
    // Outside the job nothing would ever end it; it has not run a single
    // instruction, so ending it here is safe.
    TerminateProcess(child.process.get(), kEndedExitCode);
    return failed(LaunchStep::kAssign, error);
  }
  return child;
}

}  // namespace tessarin::win32
