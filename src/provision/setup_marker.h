#pragma once
// The setup marker, which setup writes last: that setup completed, and which
// identities' firewall rules it installed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/result.h"
#include "platform/file_system.h"
#include "provision/state_layout.h"

namespace tessarin {

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

MarkerReading read_setup_marker(FileSystem& files, const StateLayout& layout);
// Writes the temporary file beside the marker, deletes the old marker, then
// renames the temporary file into place.
Status write_setup_marker(FileSystem& files, const StateLayout& layout, const SetupMarker& marker);

}  // namespace tessarin
