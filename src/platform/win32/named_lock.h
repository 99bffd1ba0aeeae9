#pragma once

#include "platform/named_lock.h"

namespace tessarin::win32 {

class Win32LockApi final : public LockApi {
 public:
  Result<std::unique_ptr<NamedMutex>, std::uint32_t> create_mutex(const std::string& name) override;
};

}  // namespace tessarin::win32
