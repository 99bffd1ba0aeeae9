#include "platform/win32/advapi.h"

#include <ntsecapi.h>
#include <sddl.h>

#include "platform/win32/owners.h"
#include "platform/win32/system_library.h"

namespace tessarin::win32::advapi {
namespace {

template <class Function>
Function bind(const char* name) {
  return win32::bind<Function>(SystemDll::kAdvapi32, name);
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
  const LastErrorKept kept;
  if (const auto free = bind<decltype(&::FreeSid)>("FreeSid"); free != nullptr) free(sid);
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
