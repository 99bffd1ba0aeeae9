#pragma once
// The file operations the helper needs, on Windows path texts (UTF-8).
// Every failure carries the system error code and its text.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace tessarin {

// What stands at a path, as seen without following a final link.
struct LinkStatus {
  bool exists = false;
  bool is_directory = false;
  // A junction, symbolic link or other reparse point. Tree removal removes
  // such an entry as itself; what it points to is never touched.
  bool is_reparse_point = false;
  // A reparse point that stands for another name: a junction or mount point,
  // or a symbolic link to a directory or a file. Other reparse points (a
  // cloud-file placeholder, a deduplicated file) hold their own content.
  bool is_link = false;
};

// What a link records, read from the link alone: what it leads to is not
// opened, so that a link to another machine is never followed to it.
struct LinkRecord {
  enum class Kind {
    kAbsolute,      // `target` as recorded, with \??\ (the object manager's) as \\?\ (Win32's)
    kRelative,      // `target` as recorded, relative to the link's directory
    kUnfollowable,  // a link that Windows itself cannot follow (one that WSL made)
    kUnread,        // another name surrogate: only an open shows where it leads
  };
  Kind kind = Kind::kUnread;
  std::u16string target;
  // An absolute target on a drive letter that names a network drive (or a
  // substitute for one): opening it would connect to another machine.
  bool on_network_drive = false;
};

struct DirectoryEntry {
  // A single component, never "." or "..", exactly as the system spells it:
  // it may hold unpaired surrogates, which no UTF-8 text can carry.
  std::u16string name;
  LinkStatus status;
};

// The path of an entry listed in `directory`, joined as units, never through
// UTF-8, so that the name is addressed exactly as it was listed.
inline std::u16string entry_path(const std::u16string& directory, const std::u16string& name) {
  std::u16string path = directory;
  if (path.empty() || path.back() != u'\\') path.push_back(u'\\');
  return path + name;
}

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // True when the metadata of `path` can be read, following links; a dangling
  // link counts as nothing there.
  virtual bool exists(const std::string& path) = 0;
  // True when `path` (following links) is a file rather than a directory.
  virtual bool is_file(const std::string& path) = 0;

  virtual SysResult<std::string> read_file(const std::string& path) = 0;
  // Creates the file or truncates an existing one, then writes all bytes.
  virtual SysStatus write_file(const std::string& path, std::string_view bytes) = 0;
  virtual SysStatus remove_file(const std::string& path) = 0;
  // Renames; fails when something already exists at `to`.
  virtual SysStatus rename(const std::string& from, const std::string& to) = 0;
  // Moves `from` over `to`, replacing an existing file in one step.
  virtual SysStatus replace(const std::string& from, const std::string& to) = 0;
  // Creates the directory and every missing parent; an existing one is fine.
  virtual SysStatus create_directories(const std::string& path) = 0;

  // The final path of an opened handle: absolute, every link resolved, in
  // extended-length form (\\?\...). Fails when nothing is there, and when the
  // final path is not valid Unicode (it could not be recorded faithfully).
  virtual SysResult<std::string> canonicalize(const std::string& path) = 0;

  // Primitives of tree removal. They take UTF-16 paths in the form
  // tree_path gives, which the system uses as spelled: a child can create
  // names that the usual path rules would alter or refuse (trailing dots and
  // spaces, device names such as CON, paths past MAX_PATH, unpaired
  // surrogates), and each must still be reached. None of them follows a link.
  virtual SysResult<std::u16string> tree_path(const std::string& path) = 0;
  virtual LinkStatus link_status(const std::u16string& path) = 0;
  // An empty listing is an empty directory, whatever the file system says.
  virtual SysResult<std::vector<DirectoryEntry>> list_directory(const std::u16string& path) = 0;
  // Removes a file, or a file link itself.
  virtual SysStatus remove_file(const std::u16string& path) = 0;
  // Removes an empty directory, or a directory junction or link itself.
  virtual SysStatus remove_empty_directory(const std::u16string& path) = 0;
  // Renames a file, directory or link itself, with all below it, on one
  // volume; fails when something already stands at `to`.
  virtual SysStatus move_entry(const std::u16string& from, const std::u16string& to) = 0;
  // What the link at `path` records. Fails for what is no link.
  virtual SysResult<LinkRecord> read_link(const std::u16string& path) = 0;
  // The final path of what the link at `path` leads to, opened for metadata
  // only and without the system's boxes asking for a missing disk. Fails
  // when nothing can be opened there: a dangling link, a drive without media.
  virtual SysResult<std::u16string> open_link_target(const std::u16string& path) = 0;
  // The number of names of the file at `path`, itself a link or not.
  virtual SysResult<std::uint32_t> link_count(const std::u16string& path) = 0;
  // Every name of the file at `path`, as full paths. Fails when they cannot
  // be listed, the system being unable to as much as denied.
  virtual SysResult<std::vector<std::u16string>> file_names(const std::u16string& path) = 0;
};

}  // namespace tessarin
