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

// A profile function of userenv.dll, or null with `failure` set to the
// HRESULT of the last error.
template <class Function>
Function bind_userenv(const char* name, HRESULT& failure) {
  const auto function = bind<Function>(SystemDll::kUserenv, name);
  if (function == nullptr) failure = HRESULT_FROM_WIN32(GetLastError());
  return function;
}

}  // namespace

SidCall Win32AppContainerApi::create_profile(const std::string& name,
                                             const std::string& display_name,
                                             const std::string& description) {
  HRESULT result = S_OK;
  const auto create =
      bind_userenv<decltype(&::CreateAppContainerProfile)>("CreateAppContainerProfile", result);
  if (create == nullptr) return SidCall{static_cast<std::uint32_t>(result), nullptr};
  WideBuffer wide_name = to_wide_nul(name);
  WideBuffer wide_display = to_wide_nul(display_name);
  WideBuffer wide_description = to_wide_nul(description);
  PSID sid = nullptr;
  result = create(wide(wide_name), wide(wide_display), wide(wide_description), nullptr, 0, &sid);
  // The caller owns whatever SID came back, whatever the result code.
  return SidCall{static_cast<std::uint32_t>(result), sid};
}

SidCall Win32AppContainerApi::derive_sid(const std::string& name) {
  HRESULT result = S_OK;
  const auto derive = bind_userenv<decltype(&::DeriveAppContainerSidFromAppContainerName)>(
      "DeriveAppContainerSidFromAppContainerName", result);
  if (derive == nullptr) return SidCall{static_cast<std::uint32_t>(result), nullptr};
  WideBuffer wide_name = to_wide_nul(name);
  PSID sid = nullptr;
  result = derive(wide(wide_name), &sid);
  return SidCall{static_cast<std::uint32_t>(result), sid};
}

AppContainerApi::FolderPath Win32AppContainerApi::folder_path(const std::string& sid_text) {
  HRESULT result = S_OK;
  const auto folder =
      bind_userenv<decltype(&::GetAppContainerFolderPath)>("GetAppContainerFolderPath", result);
  if (folder == nullptr) return FolderPath{static_cast<std::uint32_t>(result), false};
  WideBuffer wide_sid = to_wide_nul(sid_text);
  PWSTR path = nullptr;
  result = folder(wide(wide_sid), &path);
  // Only its presence matters; the buffer is the system's and goes back at once.
  const UniqueCoTask owner(path);
  return FolderPath{static_cast<std::uint32_t>(result), path != nullptr};
}

Result<std::string, std::uint32_t> Win32AppContainerApi::sid_to_string(const void* sid) {
  LPWSTR text = nullptr;
  if (!advapi::convert_sid_to_string_sid(const_cast<PSID>(sid), &text)) {
    return Err<std::uint32_t>{GetLastError()};
  }
  const UniqueLocal owner(text);
  return narrow(text);
}

Result<void*, std::uint32_t> Win32AppContainerApi::string_to_sid(const std::string& text) {
  WideBuffer wide_text = to_wide_nul(text);
  PSID sid = nullptr;
  if (!advapi::convert_string_sid_to_sid(wide(wide_text), &sid))
    return Err<std::uint32_t>{GetLastError()};
  return static_cast<void*>(sid);
}

void Win32AppContainerApi::release_sid(void* sid, SidOrigin origin) {
  if (origin == SidOrigin::kFreeSid) {
    advapi::free_sid(sid);
  } else {
    LocalFree(sid);
  }
}

}  // namespace tessarin::win32
