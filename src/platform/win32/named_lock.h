#pragma once

#include "platform/named_lock.h"

namespace tessarin::win32 {

class Win32LockApi final : public LockApi {
 public:
  Result<std::unique_ptr<NamedMutex>, std::uint32_t> create_mutex(const std::string& name) override;
  SysResult<std::unique_ptr<FileLock>> try_lock_file(const std::string& path) override;
};

}  // namespace tessarin::win32
