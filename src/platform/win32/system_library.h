#pragma once
// Functions of system DLLs bound from the system directory on first use
// rather than imported. An import would load the DLL, and the libraries it
// depends on, into every start of the helper, though most starts never call
// it; and a DLL that is not a known DLL would be looked for beside the
// executable first.

#include <windows.h>

#include <cstring>

namespace tessarin::win32 {

enum class SystemDll { kAdvapi32, kUserenv, kOle32, kKernel32 };

// The address of `name` in the DLL, which is loaded once and kept for the
// life of the process, like an import; or null with the last error set, when
// the DLL cannot be loaded or does not export the name.
FARPROC system_function(SystemDll dll, const char* name);

// The function of the declared type `Function` exported as `name`, or null
// with the last error set. The declaration is only named, never called, so
// it adds no import: bind<decltype(&::FreeSid)>(SystemDll::kAdvapi32, "FreeSid").
template <class Function>
Function bind(SystemDll dll, const char* name) {
  const FARPROC address = system_function(dll, name);
  // GetProcAddress answers with one generic function type; the bytes are the
  // address of the function of the declared type.
  static_assert(sizeof(Function) == sizeof address);
  Function function = nullptr;
  std::memcpy(&function, &address, sizeof function);
  return function;
}

}  // namespace tessarin::win32
