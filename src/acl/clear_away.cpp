#include "acl/clear_away.h"

#include <string_view>

#include "base/path.h"
#include "base/text.h"
#include "platform/remove_tree.h"

namespace tessarin {
namespace {

bool is_temp_name(std::u16string_view name) {
  constexpr std::u16string_view kTemp = u"temp";
  if (name.size() != kTemp.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i] >= u'A' && name[i] <= u'Z' ? name[i] - u'A' + u'a' : name[i];
    if (c != kTemp[i]) return false;
  }
  return true;
}

Status cannot_empty(std::u16string_view path, const SystemError& error) {
  return fail("empty sandbox container folder " + utf16_to_utf8_lossy(path) + ": " + error.text);
}

// Clears away every entry of `directory`; with `keep_temp`, a real directory
// named Temp is emptied instead, and cleared away only when that fails.
Status empty_directory(Platform& platform, const StateLayout& layout,
                       const std::u16string& directory, bool keep_temp) {
  auto entries = platform.files.list_directory(directory);
  if (!entries) return cannot_empty(directory, entries.error());
  for (const DirectoryEntry& entry : *entries) {
    const std::u16string path = entry_path(directory, entry.name);
    if (keep_temp && is_temp_name(entry.name) && entry.status.is_directory &&
        !entry.status.is_reparse_point && empty_directory(platform, layout, path, false)) {
      continue;
    }
    if (auto cleared = clear_away(platform, layout, path); !cleared) {
      return cannot_empty(path, cleared.error());
    }
  }
  return success();
}

}  // namespace

SysStatus clear_away(Platform& platform, const StateLayout& layout, const std::u16string& path) {
  if (remove_tree(platform.files, path)) return {};
  auto name = platform.env.unguessable_name();
  if (!name) return name.propagate();
  if (auto made = platform.files.create_directories(layout.stale()); !made) return made;
  // The user may rename what it cannot open, through the delete-child right
  // on its parent. A container can neither list the state directory nor
  // guess the name, so whatever entries the moved tree keeps lead nowhere.
  // No tool is run over it: what the command left there may hold links, and
  // icacls /T would follow them wherever they lead.
  auto target = platform.files.tree_path(join_path(layout.stale(), *name));
  if (!target) return target.propagate();
  return platform.files.move_entry(path, *target);
}

Status empty_container_folder(Platform& platform, const StateLayout& layout,
                              const std::string& folder) {
  auto root = platform.files.tree_path(folder);
  if (!root) return cannot_empty(utf8_to_utf16(folder), root.error());
  const LinkStatus top = platform.files.link_status(*root);
  if (top.is_directory && !top.is_reparse_point) {
    if (auto emptied = empty_directory(platform, layout, *root, true); !emptied) {
      return emptied;
    }
  } else if (auto cleared = clear_away(platform, layout, *root); !cleared) {
    // Only the system makes this folder: a link or a file in its place goes.
    return cannot_empty(*root, cleared.error());
  }
  const std::string temp = join_path(folder, "Temp");
  if (auto made = platform.files.create_directories(temp); !made) {
    return cannot_empty(utf8_to_utf16(temp), made.error());
  }
  return success();
}

Status empty_identity_container(Platform& platform, const StateLayout& layout,
                                const std::string& sid_text) {
  auto folder = platform.app_containers.folder_path(sid_text);
  if (!folder) return fail("find sandbox container folder: " + folder.error().text);
  return empty_container_folder(platform, layout, *folder);
}

}  // namespace tessarin
