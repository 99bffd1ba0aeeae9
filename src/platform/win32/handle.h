#pragma once
// The Win32 form of the portable Handle: a kernel handle and its owner.

#include <windows.h>

#include <memory>

#include "platform/process.h"
#include "platform/win32/owners.h"

namespace tessarin::win32 {

class Win32Handle final : public Handle {
 public:
  explicit Win32Handle(UniqueHandle handle) : handle_(std::move(handle)) {}
  HANDLE get() const { return handle_.get(); }

 private:
  UniqueHandle handle_;
};

inline std::unique_ptr<Handle> portable(UniqueHandle handle) {
  return std::make_unique<Win32Handle>(std::move(handle));
}

// Every Handle of the Windows platform is a Win32Handle.
inline HANDLE native(Handle& handle) {
  return static_cast<Win32Handle&>(handle).get();
}

}  // namespace tessarin::win32
