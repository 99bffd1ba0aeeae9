#pragma once
// Starting the sandboxed child in its identity's AppContainer.

#include <cstdint>

#include "base/result.h"
#include "platform/app_container.h"
#include "platform/platform.h"
#include "run/run_request.h"

namespace tessarin {

// The identity's AppContainer with, for a networked run, the internet-client
// and private-network capabilities, then the kill-on-close job (supervise.h).
// Yields the child's exit code unchanged, or one message.
Result<std::uint32_t> launch_in_app_container(Platform& platform, const RunRequest& request,
                                              const OwnedSid& identity_sid, Handle& caller);

}  // namespace tessarin
