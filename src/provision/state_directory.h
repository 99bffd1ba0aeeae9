#pragma once
// The per-user state directory and the setup marker kept in it.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "platform/platform.h"
#include "platform/result.h"

namespace tessarin {

// LOCALAPPDATA (or the temporary-files directory when that is undefined or
// empty), then "Tessarin", then "sandbox". Computed afresh on every call.
std::string state_directory(Environment& env);
std::string setup_marker_path(Environment& env);
// Creates the state directory with every missing parent; fails with the
// system error text.
Status create_state_directory(Platform& platform);

struct SetupMarker {
  std::uint32_t version = 1;
  std::vector<std::string> offline_profiles;
};

struct MarkerUnreadable {};
struct MarkerUnparsable {};
using MarkerReading = std::variant<SetupMarker, MarkerUnreadable, MarkerUnparsable>;

MarkerReading read_setup_marker(Platform& platform);
Status write_setup_marker(Platform& platform, const SetupMarker& marker);

}  // namespace tessarin
