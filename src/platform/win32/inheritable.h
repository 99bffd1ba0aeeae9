#pragma once
// Handles made for one child to inherit. Each stays inheritable as long as its
// owner lives, so it is made just before that child is created, and the
// child's handle list names it.

#include <windows.h>

#include <vector>

#include "base/result.h"
#include "platform/win32/owners.h"

namespace tessarin::win32 {

// An inheritable duplicate of one of the helper's own handles.
SysResult<UniqueHandle> inheritable_copy(HANDLE source);

// The null device, inheritable, for a standard stream the child has no use
// for or the helper lacks.
SysResult<UniqueHandle> open_null_device(DWORD access);

// The helper's standard handle `which` (STD_*_HANDLE) as a child may inherit
// it: the handle itself when it is inheritable, else an inheritable
// duplicate. GetStdHandle may yield nothing, or a value that names no handle
// (a caller that passed one without letting it be inherited): the null
// device stands in for either. What had to be made is kept in `made`.
SysResult<HANDLE> inheritable_standard_handle(DWORD which, std::vector<UniqueHandle>& made);

}  // namespace tessarin::win32
