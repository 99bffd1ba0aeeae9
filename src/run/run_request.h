#pragma once

#include <cstdint>
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
  std::vector<std::string> readable_roots;
  std::uint32_t parent_pid = 0;  // 0 names no process; the run refuses it
  bool network = false;
};

}  // namespace tessarin
