#include "provision/readiness.h"

#include "platform/path.h"

namespace tessarin {

// Interim check until provisioning lands: only the presence of the marker.
Status verify_readiness(Platform& platform) {
  std::string base = platform.env.get("LOCALAPPDATA").value_or(platform.env.temp_directory());
  const std::string marker =
      join_path(join_path(join_path(base, "Tessarin"), "sandbox"), "setup-v1.json");
  if (!platform.files.read_file(marker)) return fail("administrator initialization is required");
  return fail("setup marker is corrupt");
}

}  // namespace tessarin
