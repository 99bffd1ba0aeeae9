#pragma once
// One owner type per release function. Each releases what it holds exactly
// once, on every path out of the scope that obtained it, and leaves the
// thread's last-error value as it found it, so that a failure can still be
// read after the clean-up of the scope that failed.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/win32/advapi.h"

namespace tessarin::win32 {

template <class T, class Traits>
class Owner {
 public:
  Owner() = default;
  explicit Owner(T value) : value_(value) {}
  Owner(Owner&& other) noexcept : value_(std::exchange(other.value_, Traits::invalid())) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = std::exchange(other.value_, Traits::invalid());
    }
    return *this;
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  ~Owner() { reset(); }

  T get() const { return value_; }
  explicit operator bool() const { return value_ != Traits::invalid(); }
  T release() { return std::exchange(value_, Traits::invalid()); }
  void reset(T value = Traits::invalid()) {
    if (value_ != Traits::invalid()) {
      const DWORD saved = GetLastError();
      Traits::close(value_);
      SetLastError(saved);
    }
    value_ = value;
  }
  // For out-parameters: releases what is held and yields the slot to fill.
  T* put() {
    reset();
    return &value_;
  }

 private:
  T value_ = Traits::invalid();
};

struct HandleTraits {
  static HANDLE invalid() { return nullptr; }
  static void close(HANDLE h) { CloseHandle(h); }
};
// CreateFileW and friends report failure as INVALID_HANDLE_VALUE.
struct FileHandleTraits {
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { CloseHandle(h); }
};
struct FindHandleTraits {
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { FindClose(h); }
};
struct LocalTraits {
  static void* invalid() { return nullptr; }
  static void close(void* p) { LocalFree(p); }
};
// CoTaskMemFree, bound on first use from the system directory: importing it
// would load ole32 into every start of the helper, though only the readiness
// check ever frees such a buffer (by then the allocator that made it is loaded
// anyway).
struct CoTaskTraits {
  static void* invalid() { return nullptr; }
  static void close(void* p) {
    using Free = void(WINAPI*)(void*);
    static const Free free = [] {
      const HMODULE ole32 = LoadLibraryExW(L"ole32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
      // Through the generic function type, which any function pointer may
      // be converted from and back to.
      return ole32 == nullptr ? nullptr
                              : reinterpret_cast<Free>(reinterpret_cast<void (*)()>(
                                    GetProcAddress(ole32, "CoTaskMemFree")));
    }();
    if (free != nullptr) free(p);
  }
};
struct FreeSidTraits {
  static void* invalid() { return nullptr; }
  static void close(void* p) { advapi::free_sid(p); }
};

struct ModuleTraits {
  static HMODULE invalid() { return nullptr; }
  static void close(HMODULE m) { FreeLibrary(m); }
};

using UniqueHandle = Owner<HANDLE, HandleTraits>;
using UniqueFile = Owner<HANDLE, FileHandleTraits>;
using UniqueFind = Owner<HANDLE, FindHandleTraits>;
using UniqueLocal = Owner<void*, LocalTraits>;
using UniqueCoTask = Owner<void*, CoTaskTraits>;
using UniqueFreeSid = Owner<void*, FreeSidTraits>;
using UniqueModule = Owner<HMODULE, ModuleTraits>;

// Texts handed to and taken from Windows calls.
inline const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline wchar_t* wide(std::vector<char16_t>& buffer) {
  return reinterpret_cast<wchar_t*>(buffer.data());
}

}  // namespace tessarin::win32
