#pragma once

#include "platform/launcher.h"

namespace tessarin::fakes {

class FakeLaunchApi : public LaunchApi {};

}  // namespace tessarin::fakes
