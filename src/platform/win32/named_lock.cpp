#include "platform/win32/named_lock.h"

#include <windows.h>

#include "base/command_line.h"
#include "platform/win32/owners.h"

namespace tessarin::win32 {
namespace {

class Win32Mutex final : public NamedMutex {
 public:
  explicit Win32Mutex(HANDLE handle) : handle_(handle) {}
  std::uint32_t wait() override { return WaitForSingleObject(handle_.get(), INFINITE); }
  void release() override { ReleaseMutex(handle_.get()); }

 private:
  UniqueHandle handle_;
};

}  // namespace

Result<std::unique_ptr<NamedMutex>, std::uint32_t> Win32LockApi::create_mutex(
    const std::string& name) {
  const WideBuffer wide_name = to_wide_nul(name);
  // No security attributes: the handle is not inheritable, so the sandboxed
  // child can never hold the lock of its identity.
  HANDLE handle = CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t*>(wide_name.data()));
  if (handle == nullptr) return Err<std::uint32_t>{GetLastError()};
  return std::unique_ptr<NamedMutex>(std::make_unique<Win32Mutex>(handle));
}

}  // namespace tessarin::win32
