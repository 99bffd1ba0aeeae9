#pragma once
// What a run's grants would reach, decided before anything is granted. A
// grant given with icacls /T reaches everything below its path and, through
// a link, whatever the link leads to: so a run grants neither the helper's
// own directories nor anything through a link to what the run does not
// grant as widely already.

#include <string>
#include <string_view>

#include "acl/grants.h"
#include "base/result.h"
#include "platform/environment.h"
#include "platform/file_system.h"
#include "provision/state_layout.h"

namespace tessarin {

// The directories that no grant may put within a child's reach, canonical.
struct HelperDirectories {
  std::string state;       // every identity's lease and lock file, every run's TEMP
  std::string executable;  // the directory its executable's image lies in
};

// The state directory exists once readiness has passed; the executable
// while the helper runs.
Result<HelperDirectories> helper_directories(FileSystem& files, Environment& env,
                                             const StateLayout& layout);

// Refuses a canonical `path` that the run would grant at `level` as its
// `role` ("workspace", "writable root" or "readable root") when it is, holds
// or lies in the state directory, or when it is granted Modify and is, holds
// or lies in the helper's own directory.
Status refuse_helper_directories(const HelperDirectories& helper, std::string_view role,
                                 const std::string& path, AccessLevel level);

// Walks the workspace and every root without following links, one listing
// per directory, and refuses the first link through which a grant would
// reach more than the plan grants already: one whose target lies in no
// granted path, or, for a link within a Modify grant, in none granted
// Modify; one whose record names anything but a local volume (every record
// is read before any link is opened, since an open follows each link on its
// way); one that cannot be opened; one that leads back to a directory
// holding it, or into a loop of links. Within a Modify grant it also refuses
// a file with a name outside every Modify grant, or whose names cannot be
// listed. The run's temporary directory is fresh and is not walked.
Status refuse_widening_links(FileSystem& files, const GrantPlan& plan);

}  // namespace tessarin
