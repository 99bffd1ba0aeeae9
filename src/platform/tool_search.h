#pragma once

#include <string>

#include "base/result.h"
#include "platform/environment.h"
#include "platform/file_system.h"

namespace tessarin {

// Finds a tool by bare file name: in the directory of the helper's own
// executable, the system directory, the Windows directory, then each
// directory of PATH in order; the first that holds a file of that name wins.
// The current directory is never searched, so a file of that name in a
// workspace is never started. Not found: the error text "program not found".
SysResult<std::string> find_tool(Environment& env, FileSystem& files, const std::string& bare_name);

}  // namespace tessarin
