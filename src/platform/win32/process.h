#pragma once

#include "platform/process.h"

namespace tessarin::win32 {

class Win32ProcessApi final : public ProcessApi {
 public:
  SysResult<std::unique_ptr<Handle>> open(std::uint32_t pid) override;
  SysResult<std::uint64_t> creation_time(Handle* process) override;
  SysResult<Woke> wait(Handle& process, std::uint32_t milliseconds) override;
  SysResult<Woke> wait_either(Handle& first, Handle& second) override;
  SysResult<std::uint32_t> exit_code(Handle& process) override;
  void sleep(std::uint32_t milliseconds) override;
};

}  // namespace tessarin::win32
