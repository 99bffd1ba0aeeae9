#pragma once
// The few kinds of system failure the portable core acts on. The platform
// classifies each failure where it makes it, so that no code above it knows
// a system's numbers.

#include "base/result.h"

namespace tessarin {

// Nothing at the path, or no part of it: a file, a directory, a drive, a
// network share or its server.
inline bool is_not_found(const SystemError& error) {
  return error.kind == ErrorKind::kNotFound;
}
// What was to be made exists already.
inline bool already_exists(const SystemError& error) {
  return error.kind == ErrorKind::kAlreadyExists;
}
// A process identifier that names no process.
inline bool names_no_process(const SystemError& error) {
  return error.kind == ErrorKind::kNoSuchProcess;
}
// A cloud-synced folder whose provider, which fetches its content, is not
// running.
inline bool cloud_provider_offline(const SystemError& error) {
  return error.kind == ErrorKind::kCloudProviderOffline;
}

}  // namespace tessarin
