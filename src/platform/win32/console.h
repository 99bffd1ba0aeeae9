#pragma once

#include "platform/console.h"

namespace tessarin::win32 {

class Win32Console final : public Console {
 public:
  Result<std::vector<std::string>> arguments() override;
  void write_stdout(std::string_view text) override;
  void write_stderr(std::string_view text) override;
};

}  // namespace tessarin::win32
