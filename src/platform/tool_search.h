#pragma once

#include <string>

#include "base/result.h"
#include "platform/environment.h"
#include "platform/file_system.h"

namespace tessarin {

// Where Windows keeps its PowerShell: WindowsPowerShell\v1.0 below the
// system directory.
std::string powershell_home(Environment& env);

// Finds a tool by bare file name. The copy where Windows keeps it comes first:
// <system directory>\powershell.exe lives in WindowsPowerShell\v1.0 below
// it, every other tool in the system directory itself. Only where that file
// is missing are the other places searched: the directory of the helper's
// own executable, the system directory, the Windows directory, then each
// directory of PATH in order; the first that holds a file of that name wins.
// So a file planted beside the helper or in a directory on PATH, which a
// sandboxed command may be able to write, never displaces the system's tool.
// The current directory is never searched. Not found: the error text
// "program not found".
SysResult<std::string> find_tool(Environment& env, FileSystem& files, const std::string& bare_name);

}  // namespace tessarin
