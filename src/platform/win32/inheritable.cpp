#include "platform/win32/inheritable.h"

#include "platform/win32/system_error.h"

namespace tessarin::win32 {

SysResult<UniqueHandle> inheritable_copy(HANDLE source) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return sys_fail(last_system_error());
  }
  return UniqueHandle(copy);
}

SysResult<UniqueHandle> open_null_device(DWORD access) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  UniqueHandle file(CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr));
  if (!file) return sys_fail(last_system_error());
  return file;
}

}  // namespace tessarin::win32
