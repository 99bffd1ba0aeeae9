#include "platform/win32/environment.h"

#include <windows.h>

#include <array>
#include <string>

#include "base/path.h"
#include "base/text.h"
#include "platform/win32/advapi.h"
#include "platform/win32/owners.h"
#include "platform/win32/system_error.h"

namespace tessarin::win32 {
namespace {

// Calls a "fill this buffer, or tell me the size" function until it fits.
template <class F>
std::u16string grow(F call) {
  std::u16string buffer(MAX_PATH, u'\0');
  for (;;) {
    const DWORD n =
        call(reinterpret_cast<wchar_t*>(buffer.data()), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(static_cast<std::size_t>(n) + 1);
  }
}

std::string to_text(const std::u16string& wide_text) {
  return utf16_to_utf8_lossy(wide_text);
}

}  // namespace

std::optional<std::string> Win32Environment::get(const std::string& name) {
  const std::u16string wide_name = utf8_to_utf16(name);
  SetLastError(ERROR_SUCCESS);
  std::u16string value(256, u'\0');
  for (;;) {
    const DWORD n =
        GetEnvironmentVariableW(wide(wide_name), reinterpret_cast<wchar_t*>(value.data()),
                                static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      value.clear();
      break;
    }
    if (n < value.size()) {
      value.resize(n);
      break;
    }
    value.resize(n);
  }
  // A value that is not valid Unicode could not be used faithfully; it counts
  // as undefined.
  return utf16_to_utf8_strict(value);
}

SysStatus Win32Environment::set(const std::string& name, const std::string& value) {
  if (!SetEnvironmentVariableW(wide(utf8_to_utf16(name)), wide(utf8_to_utf16(value)))) {
    return sys_fail(last_system_error());
  }
  return {};
}

std::string Win32Environment::temp_directory() {
  std::u16string path = grow([](wchar_t* b, DWORD n) { return GetTempPathW(n, b); });
  // GetTempPathW ends its answer with a separator; the helper's paths do not.
  while (path.size() > 3 && (path.back() == u'\\' || path.back() == u'/')) path.pop_back();
  return to_text(path);
}

std::uint32_t Win32Environment::current_process_id() {
  return GetCurrentProcessId();
}

std::string Win32Environment::executable_file() {
  return to_text(grow([](wchar_t* b, DWORD n) -> DWORD {
    const DWORD got = GetModuleFileNameW(nullptr, b, n);
    // A truncated answer fills the buffer; ask for more room.
    return got == n ? n : got;
  }));
}

std::string Win32Environment::executable_directory() {
  return parent_path(executable_file()).value_or(std::string());
}

std::string Win32Environment::system_directory() {
  return to_text(grow([](wchar_t* b, DWORD n) { return GetSystemDirectoryW(b, n); }));
}

std::string Win32Environment::windows_directory() {
  return to_text(grow([](wchar_t* b, DWORD n) { return GetWindowsDirectoryW(b, n); }));
}

SysResult<std::string> Win32Environment::unguessable_name() {
  std::array<unsigned char, 16> random{};
  if (!advapi::gen_random(random.data(), static_cast<ULONG>(random.size()))) {
    return sys_fail(last_system_error());
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name;
  for (const unsigned char byte : random) {
    name += kDigits[byte >> 4];
    name += kDigits[byte & 15];
  }
  return name;
}

}  // namespace tessarin::win32
