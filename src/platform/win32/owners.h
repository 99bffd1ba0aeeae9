#pragma once
// One owner type per release function. Each releases what it holds exactly
// once, on every path out of the scope that obtained it, and leaves the
// thread's last-error value as it found it, so that a failure can still be
// read after the clean-up of the scope that failed.

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tessarin::win32 {

// Puts the thread's last error back as it was when this was made. Clean-up
// code makes one, so that the failure it cleans up after can still be read.
class LastErrorKept {
 public:
  LastErrorKept() : error_(GetLastError()) {}
  LastErrorKept(const LastErrorKept&) = delete;
  LastErrorKept& operator=(const LastErrorKept&) = delete;
  ~LastErrorKept() { SetLastError(error_); }

 private:
  DWORD error_;
};

// What "nothing held" means. Handle functions answer a failure with null or
// with INVALID_HANDLE_VALUE, depending on the function; both count as empty,
// so that one owner serves every kernel handle.
template <class T>
struct NullOnly {
  static bool empty(T value) { return value == T{}; }
};
template <class T>
struct NullOrMinusOne {
  static bool empty(T value) {
    return value == T{} || reinterpret_cast<std::intptr_t>(value) == -1;
  }
};

template <class T, auto Close, class Empty = NullOnly<T>>
class Owner {
 public:
  Owner() = default;
  explicit Owner(T value) : value_(value) {}
  Owner(Owner&& other) noexcept : value_(std::exchange(other.value_, T{})) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) reset(std::exchange(other.value_, T{}));
    return *this;
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  ~Owner() { reset(); }

  T get() const { return value_; }
  explicit operator bool() const { return !Empty::empty(value_); }
  T release() { return std::exchange(value_, T{}); }
  void reset(T value = T{}) {
    if (!Empty::empty(value_)) {
      const LastErrorKept kept;
      Close(value_);
    }
    value_ = value;
  }
  // For out-parameters: releases what is held and yields the slot to fill.
  T* put() {
    reset();
    return &value_;
  }

 private:
  T value_{};
};

// CoTaskMemFree, bound on first use from the system directory: importing it
// would load ole32 into every start of the helper, though only the readiness
// check ever frees such a buffer (by then the allocator that made it is loaded
// anyway).
void free_co_task_memory(void* memory);

using UniqueHandle = Owner<HANDLE, &::CloseHandle, NullOrMinusOne<HANDLE>>;
using UniqueFind = Owner<HANDLE, &::FindClose, NullOrMinusOne<HANDLE>>;
using UniqueLocal = Owner<void*, &::LocalFree>;
using UniqueCoTask = Owner<void*, &free_co_task_memory>;
using UniqueEnvironmentStrings = Owner<wchar_t*, &::FreeEnvironmentStringsW>;

// Keeps the system from asking, in a box, for a disk or for a retry while
// the calling thread opens what it does not know: a link may lead to a drive
// without media. The thread's mode only: the process's would be inherited by
// the child. The thread's own mode is restored on leaving.
class CriticalErrorBoxesOff {
 public:
  CriticalErrorBoxesOff() {
    if (!SetThreadErrorMode(GetThreadErrorMode() | SEM_FAILCRITICALERRORS, &before_)) {
      before_ = GetThreadErrorMode();
    }
  }
  ~CriticalErrorBoxesOff() {
    const LastErrorKept kept;
    SetThreadErrorMode(before_, nullptr);
  }
  CriticalErrorBoxesOff(const CriticalErrorBoxesOff&) = delete;
  CriticalErrorBoxesOff& operator=(const CriticalErrorBoxesOff&) = delete;

 private:
  DWORD before_ = 0;
};

// Texts handed to and taken from Windows calls.
inline const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline wchar_t* wide(std::vector<char16_t>& buffer) {
  return reinterpret_cast<wchar_t*>(buffer.data());
}

}  // namespace tessarin::win32
