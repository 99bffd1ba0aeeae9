#pragma once
// Builds the Windows platform. This header does not include <windows.h>, so
// that the process entry stays portable.

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

}  // namespace tessarin::win32
