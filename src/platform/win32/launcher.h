#pragma once

#include "platform/launcher.h"

namespace tessarin::win32 {

class Win32LaunchApi final : public LaunchApi {
 public:
  Result<SuspendedChild, LaunchFailure> start_suspended(const ChildSpec& description) override;
  SysStatus resume(Handle& thread) override;
  void end_job(Handle& job) override;
  bool standard_handles_reach_a_console() override;
};

}  // namespace tessarin::win32
