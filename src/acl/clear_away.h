#pragma once
// Taking away what a sandboxed command left behind, in a way that nothing the
// command did to it (a folder locked against the user, a link) can stop: what
// cannot be removed is moved where no container can find it.

#include <string>

#include "base/result.h"
#include "platform/platform.h"
#include "provision/state_layout.h"

namespace tessarin {

// Removes whatever stands at `path` (in the form tree_path gives), never
// following a link. What cannot be removed is moved, whole, into the state
// directory's stale folder under an unguessable name. Fails only when even
// the move fails.
SysStatus clear_away(Platform& platform, const StateLayout& layout, const std::u16string& path);

// Empties an identity's container folder: everything in it is cleared away,
// except its Temp, which stays and is emptied (or is made afresh): a command
// that finds no TEMP fails.
Status empty_container_folder(Platform& platform, const StateLayout& layout,
                              const std::string& folder);

// Finds the identity's container folder and empties it: the system makes it
// the command's LOCALAPPDATA, and its Temp the command's TEMP and TMP,
// whatever environment the helper passes, so what one run leaves there would
// reach the next run of the identity, in any workspace.
Status empty_identity_container(Platform& platform, const StateLayout& layout,
                                const std::string& sid_text);

}  // namespace tessarin
