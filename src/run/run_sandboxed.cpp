#include "run/run_sandboxed.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "acl/clear_away.h"
#include "acl/grants.h"
#include "acl/lease.h"
#include "acl/reach.h"
#include "base/path.h"
#include "base/text.h"
#include "platform/remove_tree.h"
#include "provision/identities.h"
#include "provision/readiness.h"
#include "provision/state_layout.h"
#include "run/launch.h"
#include "run/supervise.h"

namespace tessarin {
namespace {

std::optional<Preset> parse_preset(const std::string& text) {
  if (text == "workspace_write") return Preset::WorkspaceWrite;
  if (text == "read_only") return Preset::ReadOnly;
  return std::nullopt;
}

// Either wait of the lock can only fail as a whole; its message has always
// shown the wait's own result for a failure, not the system error.
constexpr std::string_view kLockWaitFailed = "wait for sandbox profile lock failed: 4294967295";
// How long a run queued behind another session's run of its identity waits
// between two looks at the lock file, watching its caller meanwhile.
constexpr std::uint32_t kLockFileRetryMs = 100;
constexpr int kRemoveAttempts = 5;
constexpr std::uint32_t kRemoveRetryMs = 100;

// The identity's mutex, owned, and then its lock file. Both go when the run
// is over, after everything else: the file first, then the mutex's
// ownership, then its handle (members go in reverse order).
struct IdentityLock {
  std::unique_ptr<NamedMutex> mutex;
  std::unique_ptr<LockGuard> owned;
  std::unique_ptr<LockGuard> file;
};

// The mutex serialises the runs of an identity within one logon session; the
// lock file, taken second and always in that order, also across the sessions
// of one user, which share the identity's lease. Both waits end early when
// the caller goes away: a run queued for a caller that no longer exists must
// not go on to grant anything.
Result<std::unique_ptr<IdentityLock>> take_identity_lock(Platform& platform,
                                                         const std::string& profile,
                                                         const StateLayout& layout,
                                                         Handle& caller) {
  auto lock = std::make_unique<IdentityLock>();
  auto mutex = platform.locks.create_mutex("Local\\Tessarin.Sandbox.Profile." + profile);
  if (!mutex) return fail("CreateMutexW failed: " + decimal(mutex.error().code));
  lock->mutex = std::move(*mutex);
  // An abandoned lock is taken over: its holder died, and the stale lease
  // recovery repairs what it left.
  auto waited = lock->mutex->acquire(caller);
  if (!waited) return fail(std::string(kLockWaitFailed));
  if (waited->caller_gone()) return fail(std::string(kParentExited));
  lock->owned = std::move(waited->owned);

  if (auto made = platform.files.create_directories(layout.leases()); !made) {
    return fail("open sandbox profile lock file: " + made.error().text);
  }
  const std::string path = layout.lock(profile);
  for (;;) {
    auto file = platform.locks.try_lock_file(path);
    if (!file) return fail("open sandbox profile lock file: " + file.error().text);
    if (!file->held_elsewhere()) {
      lock->file = std::move(file->held);
      return lock;
    }
    const auto woke = platform.processes.wait(caller, kLockFileRetryMs);
    if (!woke) return fail(std::string(kLockWaitFailed));
    if (*woke == Woke::First) return fail(std::string(kParentExited));
  }
}

// What one run has put in place, and how it is taken away again.
struct Prepared {
  const std::string& lease;
  const std::string& sid_text;
  const std::vector<std::string>& lease_paths;
  const std::string& sandbox_temp_dir;
  const StateLayout& layout;
};

// The tree has been ended and waited for, with a bound; a process that takes
// longer to die still holds its files open for a moment.
SysStatus remove_run_temp(Platform& platform, const std::string& path) {
  SysStatus removed = remove_tree(platform.files, path);
  for (int attempt = 1; !removed && attempt < kRemoveAttempts; ++attempt) {
    platform.processes.sleep(kRemoveRetryMs);
    removed = remove_tree(platform.files, path);
  }
  return removed;
}

// Revokes every leased path. Only a complete revocation lets the lease go;
// otherwise the next run of the identity repeats it. The temporary directory
// goes in any case, and before the lease: a run killed while removing it
// leaves the lease, which hands the rest to the identity's next run, rather
// than a directory that no lease names any more.
Status take_down(Platform& platform, const Prepared& run) {
  // A temporary directory whose revocation fails (its command may have
  // locked a folder in it) is taken away instead: gone, it holds no entry,
  // and it cannot wedge the identity.
  const auto dispose = [&](const std::string& path) {
    if (path != run.sandbox_temp_dir) return false;
    if (remove_run_temp(platform, path)) return true;
    auto tree = platform.files.tree_path(path);
    return tree && clear_away(platform, run.layout, run.sid_text, *tree).ok();
  };
  Status revoked =
      revoke_all(platform.tools, platform.files, run.lease_paths, run.sid_text, dispose);
  (void)remove_run_temp(platform, run.sandbox_temp_dir);
  if (revoked) (void)platform.files.remove_file(run.lease);
  return revoked;
}

// The child inherits the helper's environment, so its temporary files land
// in the one directory it was granted.
Result<std::uint32_t> start_child(Platform& platform, const RunRequest& request,
                                  const OwnedSid& sid, const std::string& sandbox_temp_dir,
                                  Handle& caller) {
  for (const char* name : {"TEMP", "TMP"}) {
    if (auto set = platform.env.set(name, sandbox_temp_dir); !set) {
      return fail(std::string("set sandbox ") + name + ": " + set.error().text);
    }
  }
  return launch_in_app_container(platform, request, sid, caller);
}

// The roots of one kind, canonical, in command-line order. The grants follow
// the command line, repetitions included; the lease names each directory
// once, since one revocation clears it whatever it was granted.
Result<std::vector<std::string>> canonical_roots(FileSystem& files, const HelperDirectories& helper,
                                                 const std::vector<std::string>& roots,
                                                 AccessLevel level,
                                                 std::vector<std::string>& lease_paths) {
  const std::string role = level == AccessLevel::Modify ? "writable root" : "readable root";
  std::vector<std::string> canonical_forms;
  for (const std::string& root : roots) {
    auto canonical = files.canonicalize(root);
    if (!canonical) return fail("invalid " + role + " " + root + ": " + canonical.error().text);
    if (auto allowed = refuse_helper_directories(helper, role, *canonical, level); !allowed) {
      return allowed.propagate();
    }
    if (std::none_of(lease_paths.begin(), lease_paths.end(),
                     [&](const std::string& p) { return same_path(p, *canonical); })) {
      lease_paths.push_back(*canonical);
    }
    canonical_forms.push_back(std::move(*canonical));
  }
  return canonical_forms;
}

// The lease is written before the temporary directory is made and before
// any grant, so that a run killed from here on is repaired, its directory
// removed, by the next run of the identity. A failure leaves neither.
Status lease_then_make_temp(Platform& platform, const std::string& lease,
                            const std::vector<std::string>& lease_paths,
                            const std::string& sandbox_temp_dir) {
  if (auto leased = write_acl_lease(platform, lease, lease_paths); !leased) return leased;
  const auto unlease = [&](std::string message) -> Status {
    (void)platform.files.remove_file(lease);
    return fail(std::move(message));
  };
  // Whatever stands there was left by an earlier instance with this process
  // identifier, possibly shaped by its child; links in it are removed, never
  // followed.
  if (auto reset = remove_tree(platform.files, sandbox_temp_dir); !reset) {
    return unlease("reset sandbox temp: " + reset.error().text);
  }
  if (auto made = platform.files.create_directories(sandbox_temp_dir); !made) {
    return unlease("create sandbox temp: " + made.error().text);
  }
  return success();
}

Result<std::uint32_t> combine(Result<std::uint32_t> launched, const Status& revoked) {
  if (revoked) return launched;
  if (launched) return revoked.propagate();
  return fail(launched.error() + "; " + revoked.error());
}

// Everything that happens under the identity's lock. Whatever this obtains
// is released before it returns, so that releasing the lock comes last.
Result<std::uint32_t> run_locked(Platform& platform, const RunRequest& request,
                                 const std::string& workspace, AccessLevel workspace_level,
                                 const std::string& profile, const StateLayout& layout,
                                 const HelperDirectories& helper, Handle& caller) {
  const std::string lease = layout.lease(profile);
  auto sid = derive_identity_sid(platform.app_containers, profile);
  if (!sid) return sid.propagate();
  auto sid_text = sid_to_string(platform.app_containers, *sid);
  if (!sid_text) return sid_text.propagate();
  if (auto recovered = recover_stale_lease(platform, layout, profile, *sid_text); !recovered) {
    return recovered.propagate();
  }

  std::vector<std::string> lease_paths{workspace};
  auto writable_roots = canonical_roots(platform.files, helper, request.writable_roots,
                                        AccessLevel::Modify, lease_paths);
  if (!writable_roots) return writable_roots.propagate();
  auto readable_roots = canonical_roots(platform.files, helper, request.readable_roots,
                                        AccessLevel::ReadExecute, lease_paths);
  if (!readable_roots) return readable_roots.propagate();

  const std::string sandbox_temp_dir = layout.run_temp(platform.env.current_process_id());
  lease_paths.push_back(sandbox_temp_dir);
  const GrantPlan plan{workspace,       *sid_text,       workspace_level,
                       *writable_roots, *readable_roots, sandbox_temp_dir};
  // Every path to grant is known and nothing is written yet: a refused run
  // leaves nothing behind.
  if (auto walked = refuse_widening_links(platform.files, plan); !walked) {
    return walked.propagate();
  }
  // Recovery and the walk take time: a caller gone or a Ctrl+C meanwhile
  // stops the run before anything is written.
  if (auto wanted = still_wanted(platform.console_events, platform.processes, caller); !wanted) {
    return wanted.propagate();
  }
  // Emptied before anything is written or granted, so that a folder that
  // cannot be emptied stops the run with nothing to undo; and again once
  // the child's tree has ended. A run killed in between leaves it to the
  // next.
  if (auto emptied = empty_identity_container(platform, layout, *sid_text); !emptied) {
    return emptied.propagate();
  }

  if (auto leased = lease_then_make_temp(platform, lease, lease_paths, sandbox_temp_dir); !leased) {
    return leased.propagate();
  }
  const Prepared prepared{lease, *sid_text, lease_paths, sandbox_temp_dir, layout};
  if (auto granted = grant_workspace_access(platform.tools, plan); !granted) {
    (void)take_down(platform, prepared);
    return granted.propagate();
  }
  // The grants take time too: what they were made for may be gone before a
  // child exists.
  if (auto wanted = still_wanted(platform.console_events, platform.processes, caller); !wanted) {
    return combine(fail(wanted.error()), take_down(platform, prepared));
  }

  Result<std::uint32_t> launched = start_child(platform, request, *sid, sandbox_temp_dir, caller);
  // Like the other clean-up after the child, this decides nothing.
  (void)empty_identity_container(platform, layout, *sid_text);
  const Status revoked = take_down(platform, prepared);
  return combine(std::move(launched), revoked);
}

}  // namespace

Result<std::uint32_t> run_sandboxed(Platform& platform, RunRequest request) {
  // Made before the child's TEMP and TMP are set: without LOCALAPPDATA the
  // state directory follows the temporary-files directory, and the lease and
  // the lock file must be found after the run where they were before it.
  const StateLayout layout = state_layout(platform.env);
  if (auto ready = verify_readiness(platform, layout); !ready) return ready.propagate();

  auto cwd = platform.files.canonicalize(request.cwd);
  if (!cwd) return fail("invalid cwd: " + cwd.error().text);
  auto workspace = platform.files.canonicalize(request.workspace);
  if (!workspace) return fail("invalid workspace: " + workspace.error().text);
  if (!lies_within(*cwd, *workspace)) return fail("cwd is outside the configured workspace");
  if (request.parent_pid == 0) return fail("invalid parent process identifier");
  const auto preset = parse_preset(request.preset);
  if (!preset) return fail("unsupported Windows sandbox preset: " + request.preset);
  const AccessLevel workspace_level =
      *preset == Preset::WorkspaceWrite ? AccessLevel::Modify : AccessLevel::ReadExecute;
  const auto helper = helper_directories(platform.files, platform.env, layout);
  if (!helper) return helper.propagate();
  if (auto allowed = refuse_helper_directories(*helper, "workspace", *workspace, workspace_level);
      !allowed) {
    return allowed.propagate();
  }

  const std::string profile =
      identity_profile_name(*preset, request.network ? NetworkMode::Online : NetworkMode::Offline);
  // The caller is watched from here on: while queued for the lock, so that
  // nothing is granted for a caller that is gone; once more after the
  // grants, so that nothing starts for one that went meanwhile; and while
  // the child runs.
  auto caller = open_caller(platform.processes, request.parent_pid);
  if (!caller) return caller.propagate();
  auto lock = take_identity_lock(platform, profile, layout, **caller);
  if (!lock) return lock.propagate();
  Result<std::uint32_t> outcome = [&] {
    // From the first grant to the last revocation a console event must not
    // end the helper, and a tool must not outlive the caller.
    const auto console = platform.console_events.guard();
    platform.tools.end_with(caller->get());
    return run_locked(platform, request, *workspace, workspace_level, profile, layout, *helper,
                      **caller);
  }();
  // Releasing the lock comes last, so that the identity's next run, which
  // may be waiting for it, finds nothing of this one still held.
  platform.tools.end_with(nullptr);
  caller->reset();
  return outcome;
}

}  // namespace tessarin
