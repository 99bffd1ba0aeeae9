#pragma once
// Windows PowerShell as the helper uses it: one script per process, judged by
// the exit code alone.

#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/environment.h"
#include "platform/tool_runner.h"

namespace tessarin {

// Runs the script as `powershell.exe -NoLogo -NoProfile -NonInteractive
// -Command <script>` with the helper's own output streams and environment,
// but for a PSModulePath that names only the system's module directory.
// Success is exit code 0.
Status run_powershell(ToolRunner& tools, Environment& env, const std::string& script);

// The text as a single-quoted PowerShell literal that evaluates to the text.
std::string powershell_quote(std::string_view text);

}  // namespace tessarin
