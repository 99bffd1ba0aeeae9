#include "platform/win32/tool_runner.h"

#include <windows.h>

#include "platform/win32/system_error.h"

namespace tessarin::win32 {

SysResult<std::uint32_t> Win32ToolRunner::run_inheriting(const std::string&,
                                                         const std::vector<std::string>&) {
  return sys_fail(system_error(ERROR_CALL_NOT_IMPLEMENTED));
}

SysResult<CapturedRun> Win32ToolRunner::run_capturing(const std::string&,
                                                      const std::vector<std::string>&) {
  return sys_fail(system_error(ERROR_CALL_NOT_IMPLEMENTED));
}

}  // namespace tessarin::win32
