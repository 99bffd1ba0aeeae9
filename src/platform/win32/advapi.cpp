#include "platform/win32/advapi.h"

#include <ntsecapi.h>
#include <sddl.h>

#include <cstring>

namespace tessarin::win32::advapi {
namespace {

struct Library {
  HMODULE module;
  DWORD load_error;
};

// Loaded once and kept for the life of the process, like an import. The
// console handler's thread may be the first to ask.
const Library& library() {
  static const Library loaded = [] {
    const HMODULE module = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return Library{module, module == nullptr ? GetLastError() : ERROR_SUCCESS};
  }();
  return loaded;
}

// The function of the declared type `Function` exported as `name`, or null
// with the last error set. The declaration is only named, never called, so
// it adds no import.
template <class Function>
Function bind(const char* name) {
  const Library& advapi32 = library();
  if (advapi32.module == nullptr) {
    SetLastError(advapi32.load_error);
    return nullptr;
  }
  const FARPROC address = GetProcAddress(advapi32.module, name);
  static_assert(sizeof(Function) == sizeof address);
  Function function = nullptr;
  std::memcpy(&function, &address, sizeof function);
  return function;
}

}  // namespace

BOOL convert_sid_to_string_sid(PSID sid, LPWSTR* text) {
  const auto convert = bind<decltype(&::ConvertSidToStringSidW)>("ConvertSidToStringSidW");
  return convert != nullptr && convert(sid, text);
}

BOOL convert_string_sid_to_sid(LPCWSTR text, PSID* sid) {
  const auto convert = bind<decltype(&::ConvertStringSidToSidW)>("ConvertStringSidToSidW");
  return convert != nullptr && convert(text, sid);
}

BOOL convert_string_security_descriptor(LPCWSTR text, DWORD revision,
                                        PSECURITY_DESCRIPTOR* descriptor, PULONG size) {
  const auto convert = bind<decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorW)>(
      "ConvertStringSecurityDescriptorToSecurityDescriptorW");
  return convert != nullptr && convert(text, revision, descriptor, size);
}

void free_sid(PSID sid) {
  // Only ever asked to free a SID that this library allocated, so it is bound.
  const DWORD error = GetLastError();
  if (const auto free = bind<decltype(&::FreeSid)>("FreeSid"); free != nullptr) free(sid);
  SetLastError(error);
}

BOOL open_process_token(HANDLE process, DWORD access, PHANDLE token) {
  const auto open = bind<decltype(&::OpenProcessToken)>("OpenProcessToken");
  return open != nullptr && open(process, access, token);
}

BOOL get_token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD size,
                           PDWORD needed) {
  const auto get = bind<decltype(&::GetTokenInformation)>("GetTokenInformation");
  return get != nullptr && get(token, kind, buffer, size, needed);
}

BOOL gen_random(PVOID buffer, ULONG size) {
  const auto generate = bind<decltype(&::SystemFunction036)>("SystemFunction036");
  return generate != nullptr && generate(buffer, size);
}

}  // namespace tessarin::win32::advapi
