#pragma once
// Watching the caller, and running a child in a kill-on-close job against it.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/console_events.h"
#include "platform/launcher.h"
#include "platform/process.h"

namespace tessarin {

// Whenever the caller is found gone, before the child runs or while it does.
inline constexpr std::string_view kParentExited =
    "parent process exited; terminated the sandbox process tree";

// Opens the calling process `pid` for waiting. A process younger than the
// helper is refused as "parent process exited; ...": the caller, which
// started the helper, is gone and its identifier has been reused.
Result<std::unique_ptr<Handle>> open_caller(ProcessApi& processes, std::uint32_t pid);

// One look at the caller and at the console between two steps of a run: a
// caller gone, a Ctrl+C or a close stops the run with its message. A look
// that fails decides nothing; the later waits watch the same handle.
Status still_wanted(ConsoleEvents& console, ProcessApi& processes, Handle& caller);

// Starts `command` in `cwd` suspended in a kill-on-close job, resumes it
// and waits for it or for `caller`, whichever ends first. Unless one of the
// helper's standard handles is a console, the child gets a console of its
// own. A caller that ends first, or a console event during the run, ends the
// tree and yields a message, never an exit code; a Ctrl+C that came before
// the child, which no child was there to take, keeps it from running, with a
// message too. With `confinement` null the child starts unconfined, which is
// how a host without AppContainer support exercises this half. When this
// returns, every process of the job has been ended and (within a bound) has
// died.
Result<std::uint32_t> run_in_kill_on_close_job(LaunchApi& launcher, ConsoleEvents& console,
                                               ProcessApi& processes,
                                               const std::vector<std::string>& command,
                                               const std::string& cwd, Handle& caller,
                                               const Confinement* confinement);

}  // namespace tessarin
