#pragma once
// The per-user state directory and the setup marker kept in it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/result.h"
#include "platform/platform.h"

namespace tessarin {

// LOCALAPPDATA (or the temporary-files directory when that is undefined,
// empty or not an absolute path), then "Tessarin", then "sandbox". Computed
// afresh on every call, so a run computes it once, before it points TEMP and
// TMP at its own directory.
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

// The marker as the bytes of its file: JSON pretty-printed with two blanks per
// level, LF between lines and none at the end.
std::string serialize_setup_marker(const SetupMarker& marker);
// The marker the bytes hold, or nullopt when they are not a valid marker.
std::optional<SetupMarker> parse_setup_marker(std::string_view bytes);

MarkerReading read_setup_marker(Platform& platform);
// Writes the temporary file beside the marker, deletes the old marker, then
// renames the temporary file into place.
Status write_setup_marker(Platform& platform, const SetupMarker& marker);

}  // namespace tessarin
