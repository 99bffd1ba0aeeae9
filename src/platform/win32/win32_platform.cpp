#include "platform/win32/win32_platform.h"

#include <windows.h>

#include "platform/win32/app_container.h"
#include "platform/win32/console.h"
#include "platform/win32/console_guard.h"
#include "platform/win32/environment.h"
#include "platform/win32/file_system.h"
#include "platform/win32/launcher.h"
#include "platform/win32/named_lock.h"
#include "platform/win32/process.h"
#include "platform/win32/tool_runner.h"

namespace tessarin::win32 {
namespace {

class Win32Platform final : public PlatformHolder {
 public:
  Platform& get() override { return platform_; }

 private:
  Win32Console console_;
  Win32Environment env_;
  Win32FileSystem files_;
  Win32ToolRunner tools_{env_, files_};
  Win32AppContainerApi app_containers_;
  Win32LockApi locks_;
  Win32ProcessApi processes_;
  Win32LaunchApi launcher_;
  Win32ConsoleEvents console_events_;
  Platform platform_{console_, env_,       files_,    tools_,         app_containers_,
                     locks_,   processes_, launcher_, console_events_};
};

}  // namespace

std::unique_ptr<PlatformHolder> make_platform() {
  // Every DLL loaded from here on, by the helper or on its behalf, comes from
  // the system directory, never from beside the executable or from the
  // current directory, which a sandboxed command may be able to write.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return std::make_unique<Win32Platform>();
}

void forget_stale_standard_handles() {
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE own = GetStdHandle(which);
    DWORD flags = 0;
    // Not GetFileType: on a synchronous pipe another process reads, it can
    // block.
    if (own != nullptr && (own == INVALID_HANDLE_VALUE || !GetHandleInformation(own, &flags))) {
      SetStdHandle(which, nullptr);
    }
  }
}

}  // namespace tessarin::win32
