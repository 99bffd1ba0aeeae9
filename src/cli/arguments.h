#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "run/run_request.h"

namespace tessarin {

inline constexpr std::string_view kUsage =
    "usage: tessarin-sandbox status | setup | run --workspace <dir> --cwd <dir> --preset "
    "<read_only|workspace_write> --parent-pid <pid> [--writable-root <dir>]... [--network] -- "
    "<command>...";

// Parses the arguments that follow the word `run`.
Result<RunRequest> parse_run_arguments(const std::vector<std::string>& arguments);

// A decimal 32-bit unsigned integer: an optional single '+', then one or more
// ASCII digits, at most 4294967295.
std::optional<std::uint32_t> parse_parent_pid(std::string_view text);

}  // namespace tessarin
