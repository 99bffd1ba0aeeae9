#pragma once

#include "platform/platform.h"
#include "platform/result.h"

namespace tessarin {

// Provisions the machine: state directory, the four profiles, the offline
// identities' firewall rules, and the setup marker last.
Status run_setup(Platform& platform);

}  // namespace tessarin
