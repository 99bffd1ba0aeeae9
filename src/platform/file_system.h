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
  // A junction, symbolic link or other reparse point. Tree removal removes
  // such an entry as itself; what it points to is never touched.
  bool is_reparse_point = false;
  // A reparse point that stands for another name: a junction or mount point,
  // or a symbolic link to a directory or a file. Other reparse points (a
  // cloud-file placeholder, a deduplicated file) hold their own content.
  bool is_link = false;
};

// Where a link leads, as link_target finds it.
struct LinkTarget {
  enum class Source {
    kOpened,            // the final path of what it leads to, as canonicalize gives it
    kRecorded,          // the absolute target the link records, \??\ given as \\?\ (NT to Win32)
    kRecordedRelative,  // the target the link records, relative to its directory
  };
  std::u16string path;
  Source source = Source::kOpened;
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
  // Where the link at `path` leads, found without changing anything: what it
  // leads to is opened (for metadata only, so far as the system follows
  // links on open) for its final path; only when that cannot be opened
  // (nothing there, no drive letter, access denied) is the target the link
  // records given instead. Fails for what is no link.
  virtual SysResult<LinkTarget> link_target(const std::u16string& path) = 0;
};

}  // namespace tessarin
