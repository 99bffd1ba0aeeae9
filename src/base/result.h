#pragma once
// The small result type that every operation returns: a value, or one error.
// Errors are message texts everywhere except at the platform boundary, where a
// SystemError keeps the code as well as its rendered text.

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace tessarin {

template <class E>
struct Err {
  E error;
};

// fail("text") is how every module reports a failure.
inline Err<std::string> fail(std::string message) {
  return Err<std::string>{std::move(message)};
}

template <class T, class E = std::string>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class F, class = std::enable_if_t<std::is_constructible_v<E, F&&>>>
  Result(Err<F> e) : state_(std::in_place_index<1>, E(std::move(e.error))) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }
  // Passes the error on unchanged, for `if (!r) return r.propagate();`.
  Err<E> propagate() const& { return Err<E>{error()}; }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class F, class = std::enable_if_t<std::is_constructible_v<E, F&&>>>
  Result(Err<F> e) : error_(E(std::move(e.error))), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }
  Err<E> propagate() const& { return Err<E>{error_}; }

 private:
  E error_{};
  bool failed_ = false;
};

using Status = Result<void>;
inline Status success() {
  return Status();
}

// The kinds of failure the portable core tells apart (see platform/errors.h);
// every other failure is kOther.
enum class ErrorKind { kOther, kNotFound, kAlreadyExists, kNoSuchProcess, kCloudProviderOffline };

// A failed system call: the code, its text as the helper shows it (the
// system's message with trailing white space trimmed, " (os error ", the code
// in decimal, ")"), and its kind. For a tool that cannot be found the text is
// "program not found".
struct SystemError {
  std::uint32_t code = 0;
  std::string text;
  ErrorKind kind = ErrorKind::kOther;
};

template <class T>
using SysResult = Result<T, SystemError>;
using SysStatus = Result<void, SystemError>;

inline Err<SystemError> sys_fail(SystemError e) {
  return Err<SystemError>{std::move(e)};
}

}  // namespace tessarin
