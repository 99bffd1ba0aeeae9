#include "run/run_sandboxed.h"

#include <algorithm>
#include <optional>
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
#include "run/identity_lock.h"
#include "run/launch.h"
#include "run/supervise.h"

namespace tessarin {
namespace {

std::optional<Preset> parse_preset(const std::string& text) {
  if (text == "workspace_write") return Preset::WorkspaceWrite;
  if (text == "read_only") return Preset::ReadOnly;
  return std::nullopt;
}

constexpr int kRemoveAttempts = 5;
constexpr std::uint32_t kRemoveRetryMs = 100;

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
  // A caller that is gone must not cut the revocation short: entries left in
  // place would outlive the run until the identity's next one.
  platform.tools.end_with(nullptr);
  // A temporary directory whose revocation fails (its command may have
  // locked a folder in it) is taken away instead: gone, it holds no entry,
  // and it cannot wedge the identity.
  bool disposed = false;
  const auto dispose = [&](const std::string& path) {
    if (path != run.sandbox_temp_dir) return false;
    disposed = true;
    if (remove_run_temp(platform, path)) return true;
    auto tree = platform.files.tree_path(path);
    return tree && clear_away(platform, run.layout, *tree).ok();
  };
  Status revoked =
      revoke_all(platform.tools, platform.files, run.lease_paths, run.sid_text, dispose);
  if (!disposed) (void)remove_run_temp(platform, run.sandbox_temp_dir);
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

// What the run decided before it took the lock, carried whole from there on.
struct Decided {
  const RunRequest& request;
  StateLayout layout;
  std::string workspace;  // canonical
  AccessLevel workspace_level;
  std::string profile;
  HelperDirectories helper;
};

// The paths one run grants, every root canonical and in command-line order,
// and the lease's list of them.
struct GrantedPaths {
  std::vector<std::string> lease_paths;
  std::vector<std::string> writable_roots;
  std::vector<std::string> readable_roots;
  std::string sandbox_temp_dir;
};

// The roots are resolved and judged only under the lock, after recovery:
// then no other run of the identity, whose command could turn a root into a
// link, runs between this look, the walk and the grants, and what a killed
// run left granted has been taken away first.
Result<GrantedPaths> paths_to_grant(Platform& platform, const Decided& run) {
  GrantedPaths paths;
  paths.lease_paths.push_back(run.workspace);
  auto writable = canonical_roots(platform.files, run.helper, run.request.writable_roots,
                                  AccessLevel::Modify, paths.lease_paths);
  if (!writable) return writable.propagate();
  paths.writable_roots = std::move(*writable);
  auto readable = canonical_roots(platform.files, run.helper, run.request.readable_roots,
                                  AccessLevel::ReadExecute, paths.lease_paths);
  if (!readable) return readable.propagate();
  paths.readable_roots = std::move(*readable);
  paths.sandbox_temp_dir = run.layout.run_temp(platform.env.current_process_id());
  paths.lease_paths.push_back(paths.sandbox_temp_dir);
  return paths;
}

// Every path to grant is known and nothing is written yet: a refused run
// leaves nothing behind.
Status ready_to_write(Platform& platform, const Decided& run, const GrantPlan& plan,
                      Handle& caller) {
  if (auto walked = refuse_widening_links(platform.files, plan); !walked) return walked;
  // Recovery and the walk take time: a caller gone or a Ctrl+C meanwhile
  // stops the run before anything is written.
  if (auto wanted = still_wanted(platform.console_events, platform.processes, caller); !wanted) {
    return wanted;
  }
  // Emptied before anything is written or granted, so that a folder that
  // cannot be emptied stops the run with nothing to undo; and again once
  // the child's tree has ended. A run killed in between leaves it to the
  // next.
  return empty_identity_container(platform, run.layout, plan.sid_text);
}

// Leases, grants, runs the child and takes everything down again.
Result<std::uint32_t> grant_and_start(Platform& platform, const Decided& run,
                                      const GrantedPaths& paths, const GrantPlan& plan,
                                      const OwnedSid& sid, Handle& caller) {
  const std::string lease = run.layout.lease(run.profile);
  if (auto leased =
          lease_then_make_temp(platform, lease, paths.lease_paths, paths.sandbox_temp_dir);
      !leased) {
    return leased.propagate();
  }
  const Prepared prepared{lease, plan.sid_text, paths.lease_paths, paths.sandbox_temp_dir,
                          run.layout};
  if (auto granted = grant_workspace_access(platform.tools, plan); !granted) {
    (void)take_down(platform, prepared);
    return granted.propagate();
  }
  // The grants take time too: what they were made for may be gone before a
  // child exists.
  if (auto wanted = still_wanted(platform.console_events, platform.processes, caller); !wanted) {
    return combine(fail(wanted.error()), take_down(platform, prepared));
  }

  Result<std::uint32_t> launched =
      start_child(platform, run.request, sid, paths.sandbox_temp_dir, caller);
  // Like the other clean-up after the child, this decides nothing.
  (void)empty_identity_container(platform, run.layout, plan.sid_text);
  const Status revoked = take_down(platform, prepared);
  return combine(std::move(launched), revoked);
}

// Everything that happens under the identity's lock. Whatever this obtains
// is released before it returns, so that releasing the lock comes last.
Result<std::uint32_t> run_locked(Platform& platform, const Decided& run, Handle& caller) {
  auto sid = derive_identity_sid(platform.app_containers, run.profile);
  if (!sid) return sid.propagate();
  auto sid_text = sid_to_string(platform.app_containers, *sid);
  if (!sid_text) return sid_text.propagate();
  if (auto recovered = recover_stale_lease(platform, run.layout, run.profile, *sid_text);
      !recovered) {
    return recovered.propagate();
  }
  auto paths = paths_to_grant(platform, run);
  if (!paths) return paths.propagate();
  const GrantPlan plan{run.workspace,         *sid_text,
                       run.workspace_level,   paths->writable_roots,
                       paths->readable_roots, paths->sandbox_temp_dir};
  if (auto ready = ready_to_write(platform, run, plan, caller); !ready) return ready.propagate();
  return grant_and_start(platform, run, *paths, plan, *sid, caller);
}

// Everything that can be judged without the lock, in the order whose first
// failure the caller is told.
Result<Decided> decide(Platform& platform, const RunRequest& request) {
  // Made before the child's TEMP and TMP are set: without LOCALAPPDATA the
  // state directory follows the temporary-files directory, and the lease and
  // the lock file must be found after the run where they were before it.
  StateLayout layout = state_layout(platform.env);
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
  auto helper = helper_directories(platform.files, platform.env, layout);
  if (!helper) return helper.propagate();
  if (auto allowed = refuse_helper_directories(*helper, "workspace", *workspace, workspace_level);
      !allowed) {
    return allowed.propagate();
  }
  std::string profile =
      identity_profile_name(*preset, request.network ? NetworkMode::Online : NetworkMode::Offline);
  return Decided{request,         std::move(layout),  std::move(*workspace),
                 workspace_level, std::move(profile), std::move(*helper)};
}

}  // namespace

Result<std::uint32_t> run_sandboxed(Platform& platform, RunRequest request) {
  auto run = decide(platform, request);
  if (!run) return run.propagate();
  // The caller is watched from here on: while queued for the lock, so that
  // nothing is granted for a caller that is gone; once more after the
  // grants, so that nothing starts for one that went meanwhile; and while
  // the child runs.
  auto caller = open_caller(platform.processes, request.parent_pid);
  if (!caller) return caller.propagate();
  auto lock = take_identity_lock(platform, run->profile, run->layout, **caller);
  if (!lock) return lock.propagate();
  Result<std::uint32_t> outcome = [&] {
    // From the first grant to the last revocation a console event must not
    // end the helper, and a tool must not outlive the caller.
    const auto console = platform.console_events.guard();
    platform.tools.end_with(caller->get());
    return run_locked(platform, *run, **caller);
  }();
  // Releasing the lock comes last, so that the identity's next run, which
  // may be waiting for it, finds nothing of this one still held. The caller
  // was opened before the lock was taken, so it is let go by hand here:
  // left to its scope, it would close after the lock.
  platform.tools.end_with(nullptr);
  caller->reset();
  return outcome;
}

}  // namespace tessarin
