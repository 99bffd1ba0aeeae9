#pragma once

#include "platform/app_container.h"
#include "platform/win32/owners.h"

namespace tessarin::win32 {

// The profile functions come from userenv.dll in the system directory, bound
// at their first use (system_library.h); one that cannot be bound yields its
// HRESULT instead of a call.
class Win32AppContainerApi final : public AppContainerApi {
 public:
  SidCall create_profile(const std::string& name, const std::string& display_name,
                         const std::string& description) override;
  SidCall derive_sid(const std::string& name) override;
  FolderPath folder_path(const std::string& sid_text) override;
  Result<std::string, std::uint32_t> sid_to_string(const void* sid) override;
  Result<void*, std::uint32_t> string_to_sid(const std::string& text) override;
  void release_sid(void* sid, SidOrigin origin) override;
};

}  // namespace tessarin::win32
