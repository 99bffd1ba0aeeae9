#pragma once

#include "platform/launcher.h"

namespace tessarin::win32 {

class Win32LaunchApi final : public LaunchApi {};

}  // namespace tessarin::win32
