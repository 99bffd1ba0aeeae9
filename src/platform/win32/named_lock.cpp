#include "platform/win32/named_lock.h"

#include <windows.h>

namespace tessarin::win32 {

Result<std::unique_ptr<NamedMutex>, std::uint32_t> Win32LockApi::create_mutex(const std::string&) {
  return Err<std::uint32_t>{ERROR_CALL_NOT_IMPLEMENTED};
}

}  // namespace tessarin::win32
