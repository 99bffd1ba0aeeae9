#include "platform/win32/app_container.h"

#include <windows.h>

#include <userenv.h>

#include "base/command_line.h"
#include "platform/win32/advapi.h"
#include "platform/win32/owners.h"
#include "platform/win32/system_error.h"
#include "platform/win32/system_library.h"

namespace tessarin::win32 {

namespace {

// A profile function of userenv.dll, or null with the last error set.
template <class Function>
Function bind_userenv(const char* name) {
  return bind<Function>(SystemDll::kUserenv, name);
}

// A failed profile call, or one that yielded no SID, as its HRESULT.
Err<SystemError> profile_failure(HRESULT result) {
  return sys_fail(system_error(static_cast<DWORD>(result)));
}

Err<SystemError> unbound() {
  return profile_failure(HRESULT_FROM_WIN32(GetLastError()));
}

}  // namespace

SysResult<OwnedSid> Win32AppContainerApi::create_profile(const std::string& name,
                                                         const std::string& display_name,
                                                         const std::string& description) {
  const auto create =
      bind_userenv<decltype(&::CreateAppContainerProfile)>("CreateAppContainerProfile");
  if (create == nullptr) return unbound();
  WideBuffer wide_name = to_wide_nul(name);
  WideBuffer wide_display = to_wide_nul(display_name);
  WideBuffer wide_description = to_wide_nul(description);
  PSID sid = nullptr;
  const HRESULT result =
      create(wide(wide_name), wide(wide_display), wide(wide_description), nullptr, 0, &sid);
  // Owned at once, so that a SID that came with a failure code is released too.
  OwnedSid owned = sid != nullptr ? OwnedSid(*this, sid, SidOrigin::kFreeSid) : OwnedSid();
  if (FAILED(result) || !owned) return profile_failure(result);
  return owned;
}

SysResult<OwnedSid> Win32AppContainerApi::derive_sid(const std::string& name) {
  const auto derive = bind_userenv<decltype(&::DeriveAppContainerSidFromAppContainerName)>(
      "DeriveAppContainerSidFromAppContainerName");
  if (derive == nullptr) return unbound();
  WideBuffer wide_name = to_wide_nul(name);
  PSID sid = nullptr;
  const HRESULT result = derive(wide(wide_name), &sid);
  OwnedSid owned = sid != nullptr ? OwnedSid(*this, sid, SidOrigin::kFreeSid) : OwnedSid();
  if (FAILED(result) || !owned) return profile_failure(result);
  return owned;
}

SysStatus Win32AppContainerApi::folder_path(const std::string& sid_text) {
  const auto folder =
      bind_userenv<decltype(&::GetAppContainerFolderPath)>("GetAppContainerFolderPath");
  if (folder == nullptr) return unbound();
  WideBuffer wide_sid = to_wide_nul(sid_text);
  PWSTR path = nullptr;
  const HRESULT result = folder(wide(wide_sid), &path);
  // Only its presence matters; the buffer is the system's and goes back at once.
  const UniqueCoTask owner(path);
  if (FAILED(result) || path == nullptr) return profile_failure(result);
  return {};
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
  if (origin == SidOrigin::kFreeSid) {
    advapi::free_sid(sid);
  } else {
    LocalFree(sid);
  }
}

}  // namespace tessarin::win32
