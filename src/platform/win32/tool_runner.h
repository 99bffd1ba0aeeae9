#pragma once

#include <windows.h>

#include "platform/environment.h"
#include "platform/file_system.h"
#include "platform/tool_runner.h"

namespace tessarin::win32 {

class Win32ToolRunner final : public ToolRunner {
 public:
  Win32ToolRunner(Environment& env, FileSystem& files) : env_(env), files_(files) {}
  SysResult<std::uint32_t> run_inheriting(const std::string& bare_name,
                                          const std::vector<std::string>& arguments,
                                          const std::vector<VariableOverride>& overrides) override;
  SysResult<CapturedRun> run_capturing(const std::string& bare_name,
                                       const std::vector<std::string>& arguments) override;
  void end_with(Handle* watched) override;

 private:
  Environment& env_;
  FileSystem& files_;
  HANDLE watched_ = nullptr;
};

}  // namespace tessarin::win32
