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

SysResult<HANDLE> inheritable_standard_handle(DWORD which, std::vector<UniqueHandle>& made) {
  const HANDLE own = GetStdHandle(which);
  DWORD flags = 0;
  const bool names_a_handle =
      own != nullptr && own != INVALID_HANDLE_VALUE && GetHandleInformation(own, &flags);
  if (names_a_handle && (flags & HANDLE_FLAG_INHERIT) != 0) return own;
  auto handle = names_a_handle
                    ? inheritable_copy(own)
                    : open_null_device(which == STD_INPUT_HANDLE ? GENERIC_READ : GENERIC_WRITE);
  if (!handle) return handle.propagate();
  made.push_back(std::move(*handle));
  return made.back().get();
}

}  // namespace tessarin::win32
