#pragma once

#include "platform/named_lock.h"

namespace tessarin::win32 {

class Win32LockApi final : public LockApi {
 public:
  SysResult<std::unique_ptr<NamedMutex>> create_mutex(const std::string& name) override;
  SysResult<FileLockAttempt> try_lock_file(const std::string& path) override;
};

}  // namespace tessarin::win32
