#pragma once
// Runs the system tools the helper relies on (powershell.exe, icacls.exe),
// named by bare file name. Where the program is found is decided by
// find_tool (tool_search.h); the current directory is never searched, and
// every tool starts in the system directory. No tool opens a console window
// of its own.

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "platform/process.h"

namespace tessarin {

// A variable a tool gets in place of the helper's own value, or besides the
// helper's variables when it has none of that name; names compare as Windows
// compares them, ignoring case.
struct VariableOverride {
  std::string name;
  std::string value;

  bool operator==(const VariableOverride&) const = default;
};

struct CapturedRun {
  std::uint32_t exit_code = 0;
  // Everything the tool wrote to standard error. Standard output is read to
  // its end and dropped as it arrives, so its size costs no memory.
  std::string standard_error;
};

class ToolRunner {
 public:
  virtual ~ToolRunner() = default;

  // Standard input is the null device; standard output and standard error are
  // the helper's own, and so is the environment but for `overrides`. Waits
  // without a time-out and yields the exit code. A tool found nowhere fails
  // with the text "program not found".
  virtual SysResult<std::uint32_t> run_inheriting(
      const std::string& bare_name, const std::vector<std::string>& arguments,
      const std::vector<VariableOverride>& overrides) = 0;

  // Standard input is the null device; standard output and standard error are
  // two pipes drained together while the tool runs. Waits without a time-out.
  virtual SysResult<CapturedRun> run_capturing(const std::string& bare_name,
                                               const std::vector<std::string>& arguments) = 0;

  // From now until it is named none (null), a tool still running when
  // `watched` ends is ended with its job, and its run fails. Borrowed. A run
  // names its caller: a tool that hangs, on a network path for example,
  // would otherwise hold the identity's lock for a caller long gone.
  virtual void end_with(Handle* watched) = 0;
};

}  // namespace tessarin
