#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace tessarin {

// Exit codes of the helper besides the child's own.
inline constexpr std::uint32_t kExitOk = 0;
inline constexpr std::uint32_t kExitUsage = 2;
inline constexpr std::uint32_t kExitRunFailed = 77;
inline constexpr std::uint32_t kExitSetupFailed = 78;
// An argument that is not valid Unicode: no command runs.
inline constexpr std::uint32_t kExitBadArgumentEncoding = 65;

// Reads the command line, runs one command, prints its outcome and yields the
// process exit code.
std::uint32_t run_front_end(Platform& platform);

}  // namespace tessarin
