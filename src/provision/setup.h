#pragma once

#include "base/result.h"
#include "platform/platform.h"

namespace tessarin {

// Provisions the machine: state directory, the four profiles, the offline
// identities' firewall rules, and the setup marker last.
Status run_setup(Platform& platform);

}  // namespace tessarin
