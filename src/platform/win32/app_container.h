#pragma once

#include "platform/app_container.h"

namespace tessarin::win32 {

// The profile functions come from userenv.dll in the system directory, bound
// at their first use (system_library.h); one that cannot be bound yields its
// HRESULT instead of a call.
class Win32AppContainerApi final : public AppContainerApi {
 public:
  SysResult<OwnedSid> create_profile(const std::string& name, const std::string& display_name,
                                     const std::string& description) override;
  SysResult<OwnedSid> derive_sid(const std::string& name) override;
  SysResult<std::string> folder_path(const std::string& sid_text) override;
  SysResult<std::string> sid_to_string(const void* sid) override;
  SysResult<OwnedSid> string_to_sid(const std::string& text) override;
  void release_sid(void* sid, SidOrigin origin) override;
};

}  // namespace tessarin::win32
