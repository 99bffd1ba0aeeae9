#include "platform/remove_tree.h"

#include <vector>

namespace tessarin {
namespace {

// A link to a directory goes the way of a directory, a link to a file the way
// of a file; either way only the link itself is removed.
SysStatus remove_entry(FileSystem& files, const std::u16string& path, const LinkStatus& status) {
  return status.is_directory ? files.remove_empty_directory(path) : files.remove_file(path);
}

}  // namespace

SysStatus remove_tree(FileSystem& files, const std::string& path) {
  auto root = files.tree_path(path);
  if (!root) return root.propagate();
  return remove_tree(files, std::move(*root));
}

SysStatus remove_tree(FileSystem& files, std::u16string root) {
  const LinkStatus top = files.link_status(root);
  if (!top.exists) return {};
  if (!top.is_directory || top.is_reparse_point) return remove_entry(files, root, top);

  // Depth-first without recursion: a tree planted by a child may be
  // arbitrarily deep, and the helper's stack must not depend on it.
  struct Pending {
    std::u16string path;
    bool listed = false;
  };
  std::vector<Pending> pending{{std::move(root)}};
  while (!pending.empty()) {
    if (pending.back().listed) {
      if (auto removed = files.remove_empty_directory(pending.back().path); !removed) {
        return removed;
      }
      pending.pop_back();
      continue;
    }
    pending.back().listed = true;
    const std::u16string directory = pending.back().path;
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
      std::u16string child = entry_path(directory, entry.name);
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
