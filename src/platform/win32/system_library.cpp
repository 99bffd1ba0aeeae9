#include "platform/win32/system_library.h"

#include <objbase.h>

#include "platform/win32/owners.h"

namespace tessarin::win32 {
namespace {

struct Library {
  HMODULE module;
  DWORD load_error;
};

Library load(const wchar_t* name) {
  const HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return Library{module, module == nullptr ? GetLastError() : ERROR_SUCCESS};
}

// The console handler's thread may be the first to ask.
const Library& library(SystemDll dll) {
  switch (dll) {
    case SystemDll::kAdvapi32: {
      static const Library advapi32 = load(L"advapi32.dll");
      return advapi32;
    }
    case SystemDll::kUserenv: {
      static const Library userenv = load(L"userenv.dll");
      return userenv;
    }
    case SystemDll::kKernel32: {
      static const Library kernel32 = load(L"kernel32.dll");
      return kernel32;
    }
    case SystemDll::kOle32:
      break;
  }
  static const Library ole32 = load(L"ole32.dll");
  return ole32;
}

}  // namespace

FARPROC system_function(SystemDll dll, const char* name) {
  const Library& loaded = library(dll);
  if (loaded.module == nullptr) {
    SetLastError(loaded.load_error);
    return nullptr;
  }
  return GetProcAddress(loaded.module, name);
}

void free_co_task_memory(void* memory) {
  static const auto free = bind<decltype(&::CoTaskMemFree)>(SystemDll::kOle32, "CoTaskMemFree");
  if (free != nullptr) free(memory);
}

}  // namespace tessarin::win32
