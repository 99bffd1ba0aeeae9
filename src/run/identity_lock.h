#pragma once
// The lock that keeps the runs of one identity from overlapping: they share
// its lease, its grants and its container folder.

#include <memory>
#include <string>

#include "base/result.h"
#include "platform/named_lock.h"
#include "platform/platform.h"
#include "provision/state_layout.h"

namespace tessarin {

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
                                                         const StateLayout& layout, Handle& caller);

}  // namespace tessarin
