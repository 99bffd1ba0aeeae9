#pragma once
// The per-identity journal of granted paths, written before any grant and
// deleted after every grant is revoked, so that the next run of the identity
// can repair what a killed run left.

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/platform.h"
#include "provision/state_layout.h"

namespace tessarin {

// Refuses a path that the lease could not record faithfully (not valid
// UTF-8, or holding a NUL that no Windows call can carry) before it touches
// anything, so that such a path is never granted.
Status write_acl_lease(Platform& platform, const std::string& lease,
                       const std::vector<std::string>& paths);
// Revokes whatever the lease of `profile` lists, then deletes it, with the
// temporary directory of the dead run that wrote it.
Status recover_stale_lease(Platform& platform, const StateLayout& layout,
                           const std::string& profile, const std::string& sid_text);

// The lease content: a compact JSON array of the paths, no line break.
std::string encode_acl_lease(const std::vector<std::string>& paths);
// One JSON array of strings, white space around tokens allowed, nothing
// after it, no byte-order mark, valid UTF-8 and no NUL in every string. The
// error names the line and column.
Result<std::vector<std::string>> decode_acl_lease(std::string_view bytes);

}  // namespace tessarin
