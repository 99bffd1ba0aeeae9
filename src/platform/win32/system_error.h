#pragma once

#include <windows.h>

#include <string>

#include "base/result.h"

namespace tessarin::win32 {

// The system's message for `code` with trailing white space trimmed, then
// " (os error ", the code in decimal, ")".
SystemError system_error(DWORD code);

// The same for the calling thread's last error.
inline SystemError last_system_error() {
  return system_error(GetLastError());
}

// UTF-16 from Windows to UTF-8, U+FFFD for unpaired surrogates.
std::string narrow(const wchar_t* text, std::size_t length);
std::string narrow(const wchar_t* text);

}  // namespace tessarin::win32
