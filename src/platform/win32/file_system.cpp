#include "platform/win32/file_system.h"

#include <windows.h>

#include <winioctl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "platform/win32/owners.h"
#include "platform/win32/system_error.h"
#include "platform/win32/system_library.h"

namespace tessarin::win32 {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens for metadata only, following links; directories need backup semantics.
UniqueHandle open_for_metadata(const std::string& path) {
  return UniqueHandle(CreateFileW(wide(utf8_to_utf16(path)), FILE_READ_ATTRIBUTES, kShareAll,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

std::optional<BY_HANDLE_FILE_INFORMATION> metadata(const std::string& path) {
  const UniqueHandle file = open_for_metadata(path);
  if (!file) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
  return info;
}

// The final path of an opened file or directory, in extended-length form.
SysResult<std::u16string> final_path(HANDLE file) {
  std::u16string buffer(MAX_PATH, u'\0');
  for (;;) {
    const DWORD n =
        GetFinalPathNameByHandleW(file, reinterpret_cast<wchar_t*>(buffer.data()),
                                  static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
    if (n == 0) return sys_fail(last_system_error());
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(n);
  }
}

// A link's own reparse tag, read from its directory entry.
std::optional<DWORD> reparse_tag(const std::u16string& path) {
  WIN32_FIND_DATAW data{};
  const UniqueFind find(
      FindFirstFileExW(wide(path), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
  if (!find || (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return std::nullopt;
  return data.dwReserved0;
}

LinkStatus status_from(DWORD attributes, std::optional<DWORD> tag) {
  const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  // A tag that cannot be read is taken for a link: the walk that looks for
  // links must not enter it.
  return LinkStatus{true, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, reparse,
                    reparse && (!tag || IsReparseTagNameSurrogate(*tag))};
}

constexpr DWORD kSymlinkFlagRelative = 1;
// IO_REPARSE_TAG_LX_SYMLINK: a symbolic link that WSL made and Windows does
// not follow. Older headers lack it.
constexpr DWORD kTagWslLink = 0xA000001D;

// What a junction, mount point or symbolic link records, from its reparse
// data: the tag, then the offset and length in bytes of the substitute name
// within the name buffer, which a symbolic link's flags precede. The
// substitute name is the one the system follows.
std::optional<LinkRecord> recorded_target(const std::vector<unsigned char>& data) {
  const auto number = [&](std::size_t at, auto value) {
    std::memcpy(&value, data.data() + at, sizeof value);
    return value;
  };
  if (data.size() < 16) return std::nullopt;
  const auto tag = number(0, std::uint32_t{});
  std::size_t names = 16;
  bool relative = false;
  if (tag == kTagWslLink) return LinkRecord{LinkRecord::Kind::kUnfollowable, {}};
  if (tag == IO_REPARSE_TAG_SYMLINK) {
    if (data.size() < 20) return std::nullopt;
    relative = (number(16, std::uint32_t{}) & kSymlinkFlagRelative) != 0;
    names = 20;
  } else if (tag != IO_REPARSE_TAG_MOUNT_POINT) {
    return LinkRecord{LinkRecord::Kind::kUnread, {}};
  }
  const std::size_t offset = number(8, std::uint16_t{});
  const std::size_t length = number(10, std::uint16_t{});
  if (length == 0 || length % 2 != 0 || names + offset + length > data.size()) return std::nullopt;
  std::u16string text(length / 2, u'\0');
  std::memcpy(text.data(), data.data() + names + offset, length);
  if (relative) return LinkRecord{LinkRecord::Kind::kRelative, std::move(text)};
  // The object manager's \??\ is the \\?\ of Win32 paths.
  if (text.starts_with(u"\\??\\")) text[1] = u'\\';
  return LinkRecord{LinkRecord::Kind::kAbsolute, std::move(text)};
}

// Opens the entry itself, never what a link leads to, with no access but
// its attributes.
UniqueHandle open_entry(const std::u16string& path) {
  return UniqueHandle(
      CreateFileW(wide(path), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// The volume-relative names FindFirstFileNameW gives, each joined with the
// volume that holds `path`. Wine lacks the function: it is bound, and its
// absence is a failure like any other.
SysResult<std::vector<std::u16string>> names_on_volume(const std::u16string& path) {
  static const auto first =
      bind<decltype(&::FindFirstFileNameW)>(SystemDll::kKernel32, "FindFirstFileNameW");
  static const auto next =
      bind<decltype(&::FindNextFileNameW)>(SystemDll::kKernel32, "FindNextFileNameW");
  if (first == nullptr || next == nullptr) return sys_fail(system_error(ERROR_PROC_NOT_FOUND));
  std::u16string volume(path.size() + 1, u'\0');
  if (!GetVolumePathNameW(wide(path), reinterpret_cast<wchar_t*>(volume.data()),
                          static_cast<DWORD>(volume.size()))) {
    return sys_fail(last_system_error());
  }
  volume.resize(std::char_traits<char16_t>::length(volume.c_str()));
  while (!volume.empty() && volume.back() == u'\\') volume.pop_back();
  // The names are compared with grants in extended-length form; a volume
  // given back as C: must not make every name look outside.
  if (!volume.starts_with(u"\\\\")) volume.insert(0, u"\\\\?\\");
  std::u16string name(MAX_PATH, u'\0');
  // Both calls answer a name longer than the buffer with the length it needs.
  const auto ask = [&name](auto call) {
    for (;;) {
      DWORD length = static_cast<DWORD>(name.size());
      if (call(&length, reinterpret_cast<wchar_t*>(name.data()))) return true;
      if (GetLastError() != ERROR_MORE_DATA) return false;
      name.assign(std::max<std::size_t>(length, 2 * name.size()), u'\0');
    }
  };
  UniqueFind find;
  if (!ask([&](DWORD* length, wchar_t* buffer) {
        find.reset(first(wide(path), 0, length, buffer));
        return static_cast<bool>(find);
      })) {
    return sys_fail(last_system_error());
  }
  std::vector<std::u16string> names;
  do {
    names.push_back(volume + std::u16string(name.c_str()));
  } while (ask(
      [&](DWORD* length, wchar_t* buffer) { return next(find.get(), length, buffer) != FALSE; }));
  if (GetLastError() != ERROR_HANDLE_EOF) return sys_fail(last_system_error());
  return names;
}

SysStatus status_of(BOOL ok) {
  if (!ok) return sys_fail(last_system_error());
  return {};
}

// Sets the attributes of the entry itself, never of what a link points to:
// the entry may be a junction planted by a sandboxed child, and its target
// lies outside every grant.
bool set_own_attributes(const std::u16string& wide_path, DWORD attributes) {
  const UniqueHandle entry(
      CreateFileW(wide(wide_path), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!entry) return false;
  FILE_BASIC_INFO info{};  // zero times: left as they are
  constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                              FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  info.FileAttributes = attributes & kSettable;
  // Zero would mean "unchanged".
  if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(entry.get(), FileBasicInfo, &info, sizeof info) != FALSE;
}

// Read-only entries refuse deletion; the attribute is cleared and the
// deletion tried once more.
template <class Remove>
SysStatus remove_clearing_read_only(const std::u16string& wide_path, Remove remove) {
  if (remove(wide(wide_path))) return {};
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED) {
    // GetFileAttributesW reports the entry's own attributes, link or not.
    const DWORD attributes = GetFileAttributesW(wide(wide_path));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        set_own_attributes(wide_path, attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
      if (remove(wide(wide_path))) return {};
      const DWORD retry_error = GetLastError();
      set_own_attributes(wide_path, attributes);
      return sys_fail(system_error(retry_error));
    }
  }
  return sys_fail(system_error(error));
}

}  // namespace

bool Win32FileSystem::exists(const std::string& path) {
  return metadata(path).has_value();
}

bool Win32FileSystem::is_file(const std::string& path) {
  const auto info = metadata(path);
  return info && (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

SysResult<std::string> Win32FileSystem::read_file(const std::string& path) {
  const UniqueHandle file(CreateFileW(wide(utf8_to_utf16(path)), GENERIC_READ, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return sys_fail(last_system_error());
  std::string bytes;
  char chunk[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) {
      return sys_fail(last_system_error());
    }
    if (got == 0) break;
    bytes.append(chunk, got);
  }
  return bytes;
}

SysStatus Win32FileSystem::write_file(const std::string& path, std::string_view bytes) {
  const UniqueHandle file(CreateFileW(wide(utf8_to_utf16(path)), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return sys_fail(last_system_error());
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    if (!WriteFile(file.get(), bytes.data(), chunk, &written, nullptr)) {
      return sys_fail(last_system_error());
    }
    bytes.remove_prefix(written);
  }
  return {};
}

SysStatus Win32FileSystem::remove_file(const std::string& path) {
  return remove_clearing_read_only(utf8_to_utf16(path),
                                   [](const wchar_t* p) { return DeleteFileW(p); });
}

SysStatus Win32FileSystem::rename(const std::string& from, const std::string& to) {
  return status_of(MoveFileExW(wide(utf8_to_utf16(from)), wide(utf8_to_utf16(to)), 0));
}

SysStatus Win32FileSystem::replace(const std::string& from, const std::string& to) {
  return status_of(
      MoveFileExW(wide(utf8_to_utf16(from)), wide(utf8_to_utf16(to)), MOVEFILE_REPLACE_EXISTING));
}

SysStatus Win32FileSystem::create_directories(const std::string& path) {
  if (path.empty()) return {};
  const std::u16string wide_path = utf8_to_utf16(path);
  if (CreateDirectoryW(wide(wide_path), nullptr)) return {};
  DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) {
    if (metadata(path) && (metadata(path)->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return {};
    }
    return sys_fail(system_error(error));
  }
  if (error != ERROR_PATH_NOT_FOUND) return sys_fail(system_error(error));
  const auto parent = parent_path(path);
  if (!parent) return sys_fail(system_error(error));
  if (auto made = create_directories(*parent); !made) return made;
  if (CreateDirectoryW(wide(wide_path), nullptr)) return {};
  error = GetLastError();
  // Another process may have made it in between.
  if (error == ERROR_ALREADY_EXISTS && metadata(path) &&
      (metadata(path)->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return {};
  }
  return sys_fail(system_error(error));
}

SysResult<std::string> Win32FileSystem::canonicalize(const std::string& path) {
  const UniqueHandle file = open_for_metadata(path);
  if (!file) return sys_fail(last_system_error());
  auto final = final_path(file.get());
  if (!final) return final.propagate();
  // A path that UTF-8 cannot carry would be granted under one name and
  // recorded under another; it is refused here, before anything uses it.
  auto text = utf16_to_utf8_strict(*final);
  if (!text) return sys_fail(system_error(ERROR_NO_UNICODE_TRANSLATION));
  return std::move(*text);
}

SysResult<std::u16string> Win32FileSystem::tree_path(const std::string& path) {
  const std::u16string wide_path = utf8_to_utf16(path);
  std::u16string full(MAX_PATH, u'\0');
  for (;;) {
    const DWORD n = GetFullPathNameW(wide(wide_path), static_cast<DWORD>(full.size()),
                                     reinterpret_cast<wchar_t*>(full.data()), nullptr);
    if (n == 0) return sys_fail(last_system_error());
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);
  }
  // The top itself was made through the usual rules, so it is resolved by
  // them once; every name below it is then taken as spelled.
  const std::u16string_view view(full);
  if (view.substr(0, 4) == u"\\\\?\\") return full;
  if (view.substr(0, 4) == u"\\\\.\\") return u"\\\\?\\" + full.substr(4);
  if (view.substr(0, 2) == u"\\\\") return u"\\\\?\\UNC\\" + full.substr(2);
  return u"\\\\?\\" + full;
}

LinkStatus Win32FileSystem::link_status(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return {};
  const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return status_from(attributes, reparse ? reparse_tag(path) : std::nullopt);
}

SysResult<std::vector<DirectoryEntry>> Win32FileSystem::list_directory(const std::u16string& path) {
  std::u16string pattern = path;
  if (pattern.empty() || pattern.back() != u'\\') pattern.push_back(u'\\');
  pattern.push_back(u'*');
  WIN32_FIND_DATAW data{};
  const UniqueFind find(
      FindFirstFileExW(wide(pattern), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
  std::vector<DirectoryEntry> entries;
  if (!find) {
    // Some file systems list no "." or "..", and then answer an empty
    // directory with "not found".
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return entries;
    return sys_fail(last_system_error());
  }
  do {
    std::u16string name(reinterpret_cast<const char16_t*>(data.cFileName));
    if (name == u"." || name == u"..") continue;
    // The listing carries each entry's reparse tag: no entry is opened.
    entries.push_back(
        DirectoryEntry{std::move(name), status_from(data.dwFileAttributes, data.dwReserved0)});
  } while (FindNextFileW(find.get(), &data));
  if (GetLastError() != ERROR_NO_MORE_FILES) return sys_fail(last_system_error());
  return entries;
}

SysStatus Win32FileSystem::remove_file(const std::u16string& path) {
  return remove_clearing_read_only(path, [](const wchar_t* p) { return DeleteFileW(p); });
}

SysStatus Win32FileSystem::remove_empty_directory(const std::u16string& path) {
  return remove_clearing_read_only(path, [](const wchar_t* p) { return RemoveDirectoryW(p); });
}

SysStatus Win32FileSystem::move_entry(const std::u16string& from, const std::u16string& to) {
  // Neither replacing nor copying: a copy would read through links, and a
  // rename moves a link as itself.
  return status_of(MoveFileExW(wide(from), wide(to), 0));
}

SysResult<LinkRecord> Win32FileSystem::read_link(const std::u16string& path) {
  const UniqueHandle link = open_entry(path);
  if (!link) return sys_fail(last_system_error());
  std::vector<unsigned char> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD got = 0;
  if (!DeviceIoControl(link.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                       static_cast<DWORD>(data.size()), &got, nullptr)) {
    return sys_fail(last_system_error());
  }
  data.resize(got);
  auto recorded = recorded_target(data);
  if (!recorded) return sys_fail(system_error(ERROR_INVALID_REPARSE_DATA));
  // A mapped drive letter looks local in the text; asking the drive's type
  // opens nothing on it.
  const std::u16string& target = recorded->target;
  if (recorded->kind == LinkRecord::Kind::kAbsolute && target.size() >= 6 &&
      target.compare(0, 4, u"\\\\?\\") == 0 && target[5] == u':') {
    const std::u16string root = target.substr(4, 2) + u"\\";
    recorded->on_network_drive = GetDriveTypeW(wide(root)) == DRIVE_REMOTE;
  }
  return std::move(*recorded);
}

SysResult<std::u16string> Win32FileSystem::open_link_target(const std::u16string& path) {
  const CriticalErrorBoxesOff quiet;
  // A link planted by a sandboxed child may lead to a pipe of its own:
  // identification level keeps the pipe's server from acting as the
  // helper's user.
  const UniqueHandle target(CreateFileW(
      wide(path), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (!target) return sys_fail(last_system_error());
  return final_path(target.get());
}

SysResult<std::uint32_t> Win32FileSystem::link_count(const std::u16string& path) {
  const UniqueHandle file = open_entry(path);
  if (!file) return sys_fail(last_system_error());
  // The standard information alone: the whole set would also ask the volume
  // for its serial number, once per file of the walk.
  FILE_STANDARD_INFO info{};
  if (!GetFileInformationByHandleEx(file.get(), FileStandardInfo, &info, sizeof info)) {
    return sys_fail(last_system_error());
  }
  return std::uint32_t{info.NumberOfLinks};
}

SysResult<std::vector<std::u16string>> Win32FileSystem::file_names(const std::u16string& path) {
  return names_on_volume(path);
}

}  // namespace tessarin::win32
