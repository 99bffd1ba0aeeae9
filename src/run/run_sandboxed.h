#pragma once

#include <cstdint>

#include "cli/run_request.h"
#include "platform/platform.h"
#include "platform/result.h"

namespace tessarin {

// Runs one command confined to the identity its preset and network mode
// select; yields the child's exit code or one message.
Result<std::uint32_t> run_sandboxed(Platform& platform, RunRequest request);

}  // namespace tessarin
