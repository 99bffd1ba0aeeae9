#include "platform/win32/app_container.h"

#include <windows.h>

namespace tessarin::win32 {

// Placeholders until the profile functions are wired up.
SidCall Win32AppContainerApi::create_profile(const std::string&, const std::string&,
                                             const std::string&) {
  return SidCall{0x80004001u, nullptr};
}
SidCall Win32AppContainerApi::derive_sid(const std::string&) {
  return SidCall{0x80004001u, nullptr};
}
AppContainerApi::FolderPath Win32AppContainerApi::folder_path(const std::string&) {
  return FolderPath{0x80004001u, false};
}
Result<std::string, std::uint32_t> Win32AppContainerApi::sid_to_string(const void*) {
  return Err<std::uint32_t>{ERROR_CALL_NOT_IMPLEMENTED};
}
Result<void*, std::uint32_t> Win32AppContainerApi::string_to_sid(const std::string&) {
  return Err<std::uint32_t>{ERROR_CALL_NOT_IMPLEMENTED};
}
void Win32AppContainerApi::release_sid(void* sid, SidOrigin origin) {
  if (origin == SidOrigin::kFreeSid) {
    FreeSid(sid);
  } else {
    LocalFree(sid);
  }
}

}  // namespace tessarin::win32
