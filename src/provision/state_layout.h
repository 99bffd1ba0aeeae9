#pragma once
// Where the helper keeps its state: one directory per user, and what lies in
// it. The other modules ask this value for every path they keep there.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/environment.h"
#include "platform/file_system.h"

namespace tessarin {

struct StateLayout {
  std::string directory;

  // setup-v1.json: written last by setup, read by every readiness check.
  std::string marker() const;
  // acl-leases: each identity's lease and lock file.
  std::string leases() const;
  // acl-leases\<profile>.json
  std::string lease(const std::string& profile) const;
  // acl-leases\<profile>.lock
  std::string lock(const std::string& profile) const;
  // tmp: the runs' temporary directories.
  std::string temp_root() const;
  // tmp\<pid>: the temporary directory of the run of process `pid`.
  std::string run_temp(std::uint32_t pid) const;
  // stale: what a command left that could not be removed, each under a
  // name no container can guess.
  std::string stale() const;
};

// The state directory is LOCALAPPDATA (or the temporary-files directory when
// that is undefined, empty or not an absolute path), then "Tessarin", then
// "sandbox". It is read from the environment afresh on every call, so a run
// makes its layout once, before it points TEMP and TMP at its own directory,
// and hands it down.
StateLayout state_layout(Environment& env);

// The process identifier that `path` is the temporary directory of, when it
// is one: a decimal name directly below the temporary root.
std::optional<std::uint32_t> run_temp_pid(const StateLayout& layout, std::string_view path);

// Creates the state directory with every missing parent; fails with the
// system error text.
Status create_state_directory(FileSystem& files, const StateLayout& layout);

}  // namespace tessarin
