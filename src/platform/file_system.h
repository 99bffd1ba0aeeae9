#pragma once
// The file operations the helper needs, on Windows path texts (UTF-8).
// Every failure carries the system error code and its text.

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace tessarin {

// What stands at a path, as seen without following a final link.
struct LinkStatus {
  bool exists = false;
  bool is_directory = false;
  // A junction, symbolic link or other reparse point. Such an entry is removed
  // as itself; what it points to is never touched.
  bool is_reparse_point = false;
};

struct DirectoryEntry {
  // A single component, never "." or "..", exactly as the system spells it:
  // it may hold unpaired surrogates, which no UTF-8 text can carry.
  std::u16string name;
  LinkStatus status;
};

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
};

}  // namespace tessarin
