#pragma once

#include "platform/environment.h"

namespace tessarin::win32 {

class Win32Environment final : public Environment {
 public:
  std::optional<std::string> get(const std::string& name) override;
  SysStatus set(const std::string& name, const std::string& value) override;
  std::string temp_directory() override;
  std::uint32_t current_process_id() override;
  std::string executable_file() override;
  std::string executable_directory() override;
  std::string system_directory() override;
  std::string windows_directory() override;
  SysResult<std::string> unguessable_name() override;
};

}  // namespace tessarin::win32
