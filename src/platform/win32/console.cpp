#include "platform/win32/console.h"

#include <windows.h>

#include <shellapi.h>

#include <cwchar>

#include "base/text.h"
#include "platform/win32/owners.h"

namespace tessarin::win32 {
namespace {

void write_all(DWORD which, std::string_view text) {
  const HANDLE stream = GetStdHandle(which);
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (GetConsoleMode(stream, &mode)) {
    // An interactive console shows UTF-16 correctly whatever its code page.
    const std::u16string wide_text = utf8_to_utf16(text);
    const wchar_t* data = wide(wide_text);
    std::size_t left = wide_text.size();
    while (left > 0) {
      DWORD written = 0;
      const DWORD chunk = left > 16384 ? 16384 : static_cast<DWORD>(left);
      if (!WriteConsoleW(stream, data, chunk, &written, nullptr) || written == 0) return;
      data += written;
      left -= written;
    }
    return;
  }
  // Files and pipes get the UTF-8 bytes as they are, with no CR added.
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    if (!WriteFile(stream, data, chunk, &written, nullptr) || written == 0) return;
    data += written;
    left -= written;
  }
}

}  // namespace

Result<std::vector<std::string>> Win32Console::arguments() {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr) return fail("cannot read the command line");
  UniqueLocal owner(argv);
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const std::u16string_view arg(reinterpret_cast<const char16_t*>(argv[i]), std::wcslen(argv[i]));
    auto text = utf16_to_utf8_strict(arg);
    if (!text)
      return fail("argument " + decimal(static_cast<unsigned>(i)) + " is not valid Unicode");
    out.push_back(std::move(*text));
  }
  return out;
}

void Win32Console::write_stdout(std::string_view text) {
  write_all(STD_OUTPUT_HANDLE, text);
}
void Win32Console::write_stderr(std::string_view text) {
  write_all(STD_ERROR_HANDLE, text);
}

}  // namespace tessarin::win32
