#pragma once

#include <cstdint>

#include "base/result.h"
#include "platform/platform.h"
#include "run/run_request.h"

namespace tessarin {

// Runs one command confined to the identity its preset and network mode
// select; yields the child's exit code or one message.
Result<std::uint32_t> run_sandboxed(Platform& platform, RunRequest request);

}  // namespace tessarin
