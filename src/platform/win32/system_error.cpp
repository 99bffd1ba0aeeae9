#include "platform/win32/system_error.h"

#include <cwchar>

#include "base/text.h"
#include "platform/win32/owners.h"

namespace tessarin::win32 {

std::string narrow(const wchar_t* text, std::size_t length) {
  return utf16_to_utf8_lossy(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

std::string narrow(const wchar_t* text) {
  return narrow(text, std::wcslen(text));
}

namespace {

// ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING, which older headers lack.
constexpr DWORD kCloudProviderNotRunning = 362;

// Errors come as Win32 codes and as HRESULTs that carry one.
ErrorKind kind_of(DWORD code) {
  if (HRESULT_FACILITY(code) == FACILITY_WIN32 && (code & 0x80000000u) != 0)
    code = HRESULT_CODE(code);
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ErrorKind::kNotFound;
    case ERROR_ALREADY_EXISTS:
      return ErrorKind::kAlreadyExists;
    case kCloudProviderNotRunning:
      return ErrorKind::kCloudProviderOffline;
    default:
      return ErrorKind::kOther;
  }
}

}  // namespace

SystemError system_error(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  UniqueLocal owner(buffer);
  std::string text;
  if (length != 0 && buffer != nullptr) {
    text = narrow(buffer, length);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
      text.pop_back();
    }
  } else {
    text = "Unknown error";
  }
  return SystemError{code, text + " (os error " + decimal(code) + ")", kind_of(code)};
}

}  // namespace tessarin::win32
