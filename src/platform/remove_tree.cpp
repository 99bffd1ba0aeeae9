#include "platform/remove_tree.h"

#include <vector>

#include "base/path.h"

namespace tessarin {
namespace {

// A link to a directory goes the way of a directory, a link to a file the way
// of a file; either way only the link itself is removed.
SysStatus remove_entry(FileSystem& files, const std::string& path, const LinkStatus& status) {
  return status.is_directory ? files.remove_empty_directory(path) : files.remove_file(path);
}

}  // namespace

SysStatus remove_tree(FileSystem& files, const std::string& path) {
  const LinkStatus top = files.link_status(path);
  if (!top.exists) return {};
  if (!top.is_directory || top.is_reparse_point) return remove_entry(files, path, top);

  // Depth-first without recursion: a tree planted by a child may be
  // arbitrarily deep, and the helper's stack must not depend on it.
  struct Pending {
    std::string path;
    bool listed = false;
  };
  std::vector<Pending> pending{{path}};
  while (!pending.empty()) {
    if (pending.back().listed) {
      if (auto removed = files.remove_empty_directory(pending.back().path); !removed) {
        return removed;
      }
      pending.pop_back();
      continue;
    }
    pending.back().listed = true;
    const std::string directory = pending.back().path;
    // Looked at again just before listing, so that a directory swapped for a
    // link since its parent was listed is removed as a link, not entered.
    if (const LinkStatus now = files.link_status(directory); now.is_reparse_point) {
      if (auto removed = remove_entry(files, directory, now); !removed) return removed;
      pending.pop_back();
      continue;
    }
    auto entries = files.list_directory(directory);
    if (!entries) return entries.propagate();
    for (const DirectoryEntry& entry : *entries) {
      std::string child = join_path(directory, entry.name);
      if (entry.status.is_directory && !entry.status.is_reparse_point) {
        pending.push_back({std::move(child)});
      } else if (auto removed = remove_entry(files, child, entry.status); !removed) {
        return removed;
      }
    }
  }
  return {};
}

}  // namespace tessarin
