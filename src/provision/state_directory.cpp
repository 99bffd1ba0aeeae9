#include "provision/state_directory.h"

#include "base/path.h"

namespace tessarin {

std::string state_directory(Environment& env) {
  // An empty or relative LOCALAPPDATA counts as undefined: a relative state
  // directory would move with each caller's current directory, and a killed
  // run's lease would then be looked for in the wrong place.
  std::string base = env.get("LOCALAPPDATA").value_or(std::string());
  if (!is_absolute_path(base)) base = env.temp_directory();
  return join_path(join_path(base, "Tessarin"), "sandbox");
}

std::string setup_marker_path(Environment& env) {
  return join_path(state_directory(env), "setup-v1.json");
}

Status create_state_directory(Platform& platform) {
  if (auto made = platform.files.create_directories(state_directory(platform.env)); !made) {
    return fail("create state directory: " + made.error().text);
  }
  return success();
}

}  // namespace tessarin
