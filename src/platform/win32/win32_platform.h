#pragma once
// Builds the Windows platform. This header does not include <windows.h>, so
// that the process entry stays portable.

#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace tessarin::win32 {

class PlatformHolder {
 public:
  virtual ~PlatformHolder() = default;
  virtual Platform& get() = 0;
};

// Called first thing in the process: it also restricts where DLLs are loaded
// from, before anything loads one.
std::unique_ptr<PlatformHolder> make_platform();

// Called before make_platform, before the helper opens any handle: a
// standard handle value that names no handle now (a caller that passed one
// it did not let the helper inherit) becomes none, so that the command and
// the tools get the null device for it. Later, the same value could name a
// handle the helper opened for itself, which would then be passed on.
void forget_stale_standard_handles();

// Called once the front end has written its last line: a console close that
// waits for the run's clean-up ends the process with `code`.
void publish_exit_code(std::uint32_t code);

}  // namespace tessarin::win32
