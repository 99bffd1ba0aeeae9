#include "acl/reach.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "platform/errors.h"

namespace tessarin {
namespace {

struct Granted {
  const std::string& path;
  AccessLevel level;
};

bool at_least(AccessLevel level, AccessLevel wanted) {
  return level == AccessLevel::Modify || wanted == AccessLevel::ReadExecute;
}

// Where a link leads, as a text that compares with the canonical granted
// paths; nullopt when that cannot be shown. A name that UTF-8 cannot carry
// matches no granted path, and the link is refused: a conservative answer
// for a name only a program makes.
std::optional<std::string> comparable(const LinkTarget& target, const std::u16string& link) {
  const auto text = utf16_to_utf8_strict(target.path);
  if (!text) return std::nullopt;
  switch (target.source) {
    case LinkTarget::Source::kOpened:
      return text;
    case LinkTarget::Source::kRecorded: {
      // What the object manager alone can name (\Device\...) is no granted
      // path; neither is a volume without a drive letter, which keeps its
      // \\?\Volume{...} form and so lies within none.
      auto normal = lexically_normal(*text);
      if (!normal || !normal->starts_with("\\\\?\\")) return std::nullopt;
      return normal;
    }
    case LinkTarget::Source::kRecordedRelative: {
      const auto link_text = utf16_to_utf8_strict(link);
      const auto directory = link_text ? parent_path(*link_text) : std::nullopt;
      if (!directory) return std::nullopt;
      return resolve_relative(*directory, *text);
    }
  }
  return std::nullopt;
}

// A link within a grant at `level` may lead only where the plan grants as
// much already: a Modify grant through a link into the read-only workspace
// would make that part of it writable.
Status check_link(FileSystem& files, const std::vector<Granted>& granted,
                  const std::u16string& link, AccessLevel level) {
  auto target = files.link_target(link);
  if (!target) {
    return fail("read the target of link " + utf16_to_utf8_lossy(link) + ": " +
                target.error().text);
  }
  const auto where = comparable(*target, link);
  if (where && std::any_of(granted.begin(), granted.end(), [&](const Granted& g) {
        return at_least(g.level, level) && lies_within(*where, g.path);
      })) {
    return success();
  }
  return fail("a grant would follow link " + utf16_to_utf8_lossy(link) + " to " +
              (where ? *where : utf16_to_utf8_lossy(target->path)) +
              "; remove the link, or name its target as a writable root if the command may "
              "write there");
}

// Depth-first without recursion, as tree removal does: the depth of a tree
// must not decide the helper's stack.
Status walk(FileSystem& files, const std::vector<Granted>& granted, const Granted& top) {
  auto root = files.tree_path(top.path);
  if (!root) return fail("look for links in " + utf8_lossy(top.path) + ": " + root.error().text);
  if (!files.link_status(*root).is_directory) return success();
  std::vector<std::u16string> pending{std::move(*root)};
  while (!pending.empty()) {
    const std::u16string directory = std::move(pending.back());
    pending.pop_back();
    auto entries = files.list_directory(directory);
    // A directory removed since its parent was listed holds nothing to grant.
    if (!entries && is_not_found(entries.error())) continue;
    if (!entries) {
      return fail("look for links in " + utf16_to_utf8_lossy(directory) + ": " +
                  entries.error().text);
    }
    for (const DirectoryEntry& entry : *entries) {
      std::u16string path = entry_path(directory, entry.name);
      // Any other reparse point holds its own content, which the grant
      // reaches like any directory's.
      if (entry.status.is_link) {
        if (auto allowed = check_link(files, granted, path, top.level); !allowed) return allowed;
      } else if (entry.status.is_directory) {
        pending.push_back(std::move(path));
      }
    }
  }
  return success();
}

}  // namespace

Result<HelperDirectories> helper_directories(FileSystem& files, Environment& env,
                                             const StateLayout& layout) {
  auto state = files.canonicalize(layout.directory);
  if (!state) {
    return fail("invalid sandbox state directory " + utf8_lossy(layout.directory) + ": " +
                state.error().text);
  }
  const std::string directory = env.executable_directory();
  auto executable = files.canonicalize(directory);
  if (!executable) {
    return fail("invalid helper directory " + utf8_lossy(directory) + ": " +
                executable.error().text);
  }
  return HelperDirectories{std::move(*state), std::move(*executable)};
}

Status refuse_helper_directories(const HelperDirectories& helper, std::string_view role,
                                 const std::string& path, AccessLevel level) {
  // Whatever the preset: the state directory holds the live temporary
  // directories and the leases of the other identities' runs, which even a
  // read grant, given with /T, would show the child, rewriting their access
  // lists on the way; a grant inside it would hand over another run's files.
  if (lies_within(path, helper.state) || lies_within(helper.state, path)) {
    return fail(std::string(role) + " " + utf8_lossy(path) +
                " overlaps the sandbox state directory " + utf8_lossy(helper.state));
  }
  // Only write access matters here: with it the child could rename the
  // helper's executable and put its own in its place, for the next start, or
  // an elevated setup, to run unconfined. Reading the executable is harmless.
  if (level == AccessLevel::Modify && lies_within(helper.executable, path)) {
    return fail(std::string(role) + " " + utf8_lossy(path) + " covers the helper's own directory " +
                utf8_lossy(helper.executable));
  }
  return success();
}

Status refuse_widening_links(FileSystem& files, const GrantPlan& plan) {
  std::vector<Granted> granted{{plan.workspace, plan.workspace_level}};
  for (const std::string& root : plan.writable_roots) {
    granted.push_back({root, AccessLevel::Modify});
  }
  for (const std::string& root : plan.readable_roots) {
    granted.push_back({root, AccessLevel::ReadExecute});
  }
  // A path within another that is granted at least as widely is walked with
  // it; of equal grants of one path, the first.
  const auto walked_with = [&](std::size_t outer, std::size_t inner) {
    const Granted &o = granted[outer], &i = granted[inner];
    if (outer == inner || !at_least(o.level, i.level) || !lies_within(i.path, o.path)) {
      return false;
    }
    return outer < inner || o.level != i.level || !same_path(o.path, i.path);
  };
  for (std::size_t i = 0; i < granted.size(); ++i) {
    bool covered = false;
    for (std::size_t o = 0; o < granted.size() && !covered; ++o) covered = walked_with(o, i);
    if (covered) continue;
    if (auto walked = walk(files, granted, granted[i]); !walked) return walked;
  }
  return success();
}

}  // namespace tessarin
