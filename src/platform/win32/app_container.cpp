#include "platform/win32/app_container.h"

#include <windows.h>

#include <userenv.h>

#include <utility>

#include "base/command_line.h"
#include "base/text.h"
#include "platform/win32/advapi.h"
#include "platform/win32/owners.h"
#include "platform/win32/system_error.h"
#include "platform/win32/system_library.h"

namespace tessarin::win32 {

namespace {

// Calls the profile function of userenv.dll named `name`, or yields the
// HRESULT of the last error when it cannot be bound.
template <class Function, class... Arguments>
HRESULT call_userenv(const char* name, Arguments... arguments) {
  const auto function = bind<Function>(SystemDll::kUserenv, name);
  if (function == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  return function(arguments...);
}

// A failed profile call, or one that yielded nothing, as its HRESULT.
Err<SystemError> profile_failure(HRESULT result) {
  return sys_fail(system_error(static_cast<DWORD>(result)));
}

// The SID a profile call yielded, owned at once, so that a SID that came
// with a failure code is released too.
SysResult<OwnedSid> yielded_sid(AppContainerApi& api, HRESULT result, PSID sid) {
  OwnedSid owned = sid != nullptr ? OwnedSid(api, sid, SidOrigin::kFreeSid) : OwnedSid();
  if (FAILED(result) || !owned) return profile_failure(result);
  return owned;
}

}  // namespace

SysResult<OwnedSid> Win32AppContainerApi::create_profile(const std::string& name,
                                                         const std::string& display_name,
                                                         const std::string& description) {
  PSID sid = nullptr;
  const HRESULT result = call_userenv<decltype(&::CreateAppContainerProfile)>(
      "CreateAppContainerProfile", wide(utf8_to_utf16(name)), wide(utf8_to_utf16(display_name)),
      wide(utf8_to_utf16(description)), nullptr, 0, &sid);
  return yielded_sid(*this, result, sid);
}

SysResult<OwnedSid> Win32AppContainerApi::derive_sid(const std::string& name) {
  PSID sid = nullptr;
  const HRESULT result = call_userenv<decltype(&::DeriveAppContainerSidFromAppContainerName)>(
      "DeriveAppContainerSidFromAppContainerName", wide(utf8_to_utf16(name)), &sid);
  return yielded_sid(*this, result, sid);
}

SysResult<std::string> Win32AppContainerApi::folder_path(const std::string& sid_text) {
  PWSTR path = nullptr;
  const HRESULT result = call_userenv<decltype(&::GetAppContainerFolderPath)>(
      "GetAppContainerFolderPath", wide(utf8_to_utf16(sid_text)), &path);
  const UniqueCoTask owner(path);
  if (FAILED(result) || path == nullptr) return profile_failure(result);
  // A path that UTF-8 cannot carry would be emptied and made under another name.
  auto text = utf16_to_utf8_strict(reinterpret_cast<const char16_t*>(path));
  if (!text) return sys_fail(system_error(ERROR_NO_UNICODE_TRANSLATION));
  return std::move(*text);
}

SysResult<std::string> Win32AppContainerApi::sid_to_string(const void* sid) {
  LPWSTR text = nullptr;
  if (!advapi::convert_sid_to_string_sid(const_cast<PSID>(sid), &text)) {
    return sys_fail(last_system_error());
  }
  const UniqueLocal owner(text);
  return narrow(text);
}

SysResult<OwnedSid> Win32AppContainerApi::string_to_sid(const std::string& text) {
  WideBuffer wide_text = to_wide_nul(text);
  PSID sid = nullptr;
  if (!advapi::convert_string_sid_to_sid(wide(wide_text), &sid)) {
    return sys_fail(last_system_error());
  }
  if (sid == nullptr) return sys_fail(system_error(ERROR_SUCCESS));
  return OwnedSid(*this, sid, SidOrigin::kLocalFree);
}

void Win32AppContainerApi::release_sid(void* sid, SidOrigin origin) {
  const LastErrorKept kept;
  if (origin == SidOrigin::kFreeSid) {
    advapi::free_sid(sid);
  } else {
    LocalFree(sid);
  }
}

}  // namespace tessarin::win32
