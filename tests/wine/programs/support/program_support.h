#pragma once
// What every Wine test program needs at start-up and at its edges: its
// arguments, raw output, its own location and whole-file reads and writes.
// Header-only, so that it is not built as a program of its own.

#include <windows.h>

#include <shellapi.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "platform/win32/console.h"
#include "platform/win32/owners.h"

namespace program_support {

// The arguments, program name first, read as strictly as the helper reads its
// own; nullopt when one is not valid Unicode.
inline std::optional<std::vector<std::string>> arguments() {
  auto args = tessarin::win32::Win32Console().arguments();
  if (!args) return std::nullopt;
  return std::move(*args);
}

// The arguments, program name first, with every unpaired surrogate turned into
// U+FFFD: a stand-in records whatever it is sent instead of refusing it, so
// that a test sees what the helper passed.
inline std::vector<std::string> lossy_arguments() {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  if (argv == nullptr) return args;
  const tessarin::win32::UniqueLocal owner(argv);
  for (int i = 0; i < count; ++i) {
    args.push_back(tessarin::utf16_to_utf8_lossy(reinterpret_cast<const char16_t*>(argv[i])));
  }
  return args;
}

// Writes the bytes as they are: the C runtime's text mode would add carriage
// returns, and a console conversion would change what a pipe carries. False
// when the stream stops taking them.
inline bool write_stream(DWORD which, std::string_view bytes) {
  const HANDLE stream = GetStdHandle(which);
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    if (!WriteFile(stream, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

inline void print(std::string_view text) {
  write_stream(STD_OUTPUT_HANDLE, text);
}

// Two lower-case hexadecimal digits per byte, so that any bytes survive a
// line of text.
inline std::string hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

inline std::string own_path() {
  std::u16string buffer(32768, u'\0');
  const DWORD n = GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(buffer.data()),
                                     static_cast<DWORD>(buffer.size()));
  buffer.resize(n);
  return tessarin::utf16_to_utf8_lossy(buffer);
}

inline std::string beside_self(std::string_view name) {
  return tessarin::join_path(tessarin::parent_path(own_path()).value_or("."), name);
}

// The stand-ins run from the system directory, which every test shares, and
// keep their files in the directory this variable names, which each test sets
// to one of its own. The helper never reads it.
constexpr wchar_t kStateVariable[] = L"STAND_IN_STATE_DIR";

// A file in that directory. Without the variable a stand-in could only share
// its files with every other test, so it stops at once instead.
inline std::string stand_in_file(std::string_view name) {
  std::u16string value(32768, u'\0');
  const DWORD n = GetEnvironmentVariableW(kStateVariable, reinterpret_cast<wchar_t*>(value.data()),
                                          static_cast<DWORD>(value.size()));
  if (n == 0 || n >= value.size()) {
    const std::string_view message = "stand-in: STAND_IN_STATE_DIR is not set\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), message.data(), static_cast<DWORD>(message.size()),
              &written, nullptr);
    ExitProcess(125);
  }
  value.resize(n);
  return tessarin::join_path(tessarin::utf16_to_utf8_lossy(value), name);
}

// Several test processes may read and write one file at once (a shared log,
// a heartbeat read while it is rewritten), so no open excludes another.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline std::optional<std::string> read_file(const std::string& path) {
  const tessarin::win32::UniqueHandle file(
      CreateFileW(tessarin::win32::wide(tessarin::utf8_to_utf16(path)), GENERIC_READ, kShareAll,
                  nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return std::nullopt;
  std::string bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got != 0) {
    bytes.append(chunk, got);
  }
  return bytes;
}

inline bool exists(const std::string& path) {
  return GetFileAttributesW(tessarin::win32::wide(tessarin::utf8_to_utf16(path))) !=
         INVALID_FILE_ATTRIBUTES;
}

// Serialises the read-modify-write of a stand-in's files between calls that
// overlap, as the calls of two helpers running side by side do.
class FilesLock {
 public:
  explicit FilesLock(const wchar_t* name) : mutex_(CreateMutexW(nullptr, FALSE, name)) {
    if (mutex_) WaitForSingleObject(mutex_.get(), INFINITE);
  }
  FilesLock(const FilesLock&) = delete;
  FilesLock& operator=(const FilesLock&) = delete;
  ~FilesLock() {
    if (mutex_) ReleaseMutex(mutex_.get());
  }

 private:
  tessarin::win32::UniqueHandle mutex_;
};

enum class Write { Replace, Append };

// False when the file could not be opened or took fewer bytes.
inline bool write_file(const std::string& path, std::string_view bytes, Write mode) {
  const bool append = mode == Write::Append;
  const tessarin::win32::UniqueHandle file(
      CreateFileW(tessarin::win32::wide(tessarin::utf8_to_utf16(path)),
                  append ? FILE_APPEND_DATA : GENERIC_WRITE, kShareAll, nullptr,
                  append ? OPEN_ALWAYS : CREATE_ALWAYS, 0, nullptr));
  if (!file) return false;
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written == 0) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

// The pieces between separators, an empty one wherever two meet or one ends
// the text.
inline std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> out;
  for (;;) {
    const std::size_t end = text.find(separator);
    out.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) return out;
    text.remove_prefix(end + 1);
  }
}

// Lines ended by LF or CR LF, as a test may write a control file either way.
inline std::vector<std::string> lines(std::string_view text) {
  std::vector<std::string> out = split(text, '\n');
  for (auto& line : out) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  return out;
}

}  // namespace program_support
