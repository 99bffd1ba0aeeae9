#include "run/identity_lock.h"

#include <cstdint>
#include <string_view>

#include "base/text.h"
#include "run/supervise.h"

namespace tessarin {
namespace {

// Either wait of the lock can only fail as a whole; its message has always
// shown the wait's own result for a failure, not the system error.
constexpr std::string_view kLockWaitFailed = "wait for sandbox profile lock failed: 4294967295";
// How long a run queued behind another session's run of its identity waits
// between two looks at the lock file, watching its caller meanwhile.
constexpr std::uint32_t kLockFileRetryMs = 100;

}  // namespace

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

}  // namespace tessarin
