#pragma once

#include "base/result.h"
#include "platform/platform.h"
#include "provision/state_layout.h"

namespace tessarin {

// Whether the machine is ready for sandboxed execution: success, or the first
// problem found. Shared by `status` and `run`; changes nothing.
Status verify_readiness(Platform& platform, const StateLayout& layout);

}  // namespace tessarin
