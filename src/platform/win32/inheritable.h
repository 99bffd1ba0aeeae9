#pragma once
// Handles made for one child to inherit. Each stays inheritable as long as its
// owner lives, so it is made just before that child is created, and the
// child's handle list names it.

#include <windows.h>

#include "base/result.h"
#include "platform/win32/owners.h"

namespace tessarin::win32 {

// An inheritable duplicate of one of the helper's own handles.
SysResult<UniqueHandle> inheritable_copy(HANDLE source);

// The null device, inheritable, for a standard stream the child has no use
// for or the helper lacks.
SysResult<UniqueHandle> open_null_device(DWORD access);

}  // namespace tessarin::win32
