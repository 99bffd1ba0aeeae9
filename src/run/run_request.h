#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessarin {

// The parsed arguments of `run`. Values are kept as given; the run itself
// validates the directories and the preset.
struct RunRequest {
  std::vector<std::string> command;  // at least one element
  std::string cwd;
  std::string workspace;
  std::string preset;  // unparsed: "read_only" or "workspace_write" are accepted later
  std::vector<std::string> writable_roots;
  std::optional<std::uint32_t> parent_pid;  // always present when built from the command line
  bool network = false;
};

}  // namespace tessarin
