#include "platform/win32/console.h"

#include <windows.h>

#include <cwchar>

#include "base/command_line.h"
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
  // Split here rather than by CommandLineToArgvW, whose shell32 (and all it
  // pulls in) would be loaded for every command.
  const wchar_t* line = GetCommandLineW();
  const auto split = split_command_line(
      std::u16string_view(reinterpret_cast<const char16_t*>(line), std::wcslen(line)));
  std::vector<std::string> out;
  out.reserve(split.size());
  for (std::size_t i = 0; i < split.size(); ++i) {
    auto text = utf16_to_utf8_strict(split[i]);
    if (!text) return fail("argument " + decimal(i) + " is not valid Unicode");
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
