#pragma once
// Removing a directory tree that an untrusted process could write to.

#include <string>

#include "base/result.h"
#include "platform/file_system.h"

namespace tessarin {

// Removes whatever stands at `path` and, for a real directory, everything
// below it. A junction, symbolic link or other reparse point is removed as
// itself, wherever it stands, and what it points to is left untouched. Nothing
// there is success. Stops at the first failure.
SysStatus remove_tree(FileSystem& files, const std::string& path);
// The same for a path in the form tree_path gives.
SysStatus remove_tree(FileSystem& files, std::u16string root);

}  // namespace tessarin
