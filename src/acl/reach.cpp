#include "acl/reach.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
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

// A link whose record the walk has read and not yet opened: where it lies,
// the grant it lies in, and what it records.
struct Met {
  std::u16string link;
  AccessLevel level;
  std::string recorded;
};

// A link whose target the walk accepted: where it lies and where it leads.
struct Accepted {
  std::string link;
  std::string target;
};

// A refused link within a read-only grant needs its target granted no more
// widely than that; within a grant that writes, the link would carry the
// write grant to its target, so reading alone takes both sides read-only.
std::string link_advice(AccessLevel level) {
  if (level == AccessLevel::ReadExecute) {
    return "remove the link, or name its target as a read-only root (--readable-root) if the "
           "command only reads it, or as a writable root only if it must write there";
  }
  return "remove the link, or, if the command only reads through it, grant it read-only (run "
         "read_only, or name its root with --readable-root) and name its target as a read-only "
         "root; name the target as a writable root only if the command must write there";
}

constexpr std::string_view kHardLinkAdvice =
    "; if the command only reads it, grant it read-only (run read_only, or name its root with "
    "--readable-root); otherwise install the packages as copies, or name the store as a writable "
    "root only if the command must write there";

std::string cloud_advice(const SystemError& error) {
  if (!cloud_provider_offline(error)) return {};
  return "; the folder's cloud provider is not running: start it, or keep the folder on this "
         "device";
}

// The targets a link is opened for: a local volume by drive letter or by its
// volume name. Anything else (a share, a device the object manager alone
// names) would be opened across the network or past the drive letters.
bool on_local_volume(std::u16string_view target) {
  if (!target.starts_with(u"\\\\?\\")) return false;
  target.remove_prefix(4);
  if (target.starts_with(u"Volume{")) return true;
  const char16_t drive = static_cast<char16_t>(target.empty() ? 0 : target[0] | 0x20);
  return target.size() >= 2 && drive >= u'a' && drive <= u'z' && target[1] == u':' &&
         (target.size() == 2 || target[2] == u'\\');
}

// Depth-first without recursion, as tree removal does: the depth of a tree
// must not decide the helper's stack.
class Walker {
 public:
  Walker(FileSystem& files, const std::vector<Granted>& granted)
      : files_(files), granted_(granted) {}
  Status walk(const Granted& top);
  Status open_links();
  Status refuse_loops();

 private:
  bool granted_within(const std::string& path, AccessLevel level) const {
    return std::any_of(granted_.begin(), granted_.end(), [&](const Granted& g) {
      return at_least(g.level, level) && lies_within(path, g.path);
    });
  }
  Status read_link(const std::u16string& link, AccessLevel level);
  Status open_link(const Met& met);
  Status check_names(const std::u16string& file);

  FileSystem& files_;
  const std::vector<Granted>& granted_;
  std::vector<Met> met_;
  std::vector<Accepted> accepted_;
};

Status became_link(const std::u16string& directory) {
  return fail("look for links in " + utf16_to_utf8_lossy(directory) +
              ": it has become a link; run the command again");
}

Status Walker::walk(const Granted& top) {
  auto root = files_.tree_path(top.path);
  if (!root) return fail("look for links in " + utf8_lossy(top.path) + ": " + root.error().text);
  // A canonical path is no link; only a swap since can have made it one.
  const LinkStatus status = files_.link_status(*root);
  if (status.is_link) return became_link(*root);
  if (!status.is_directory) {
    return status.exists && top.level == AccessLevel::Modify ? check_names(*root) : success();
  }
  std::vector<std::u16string> pending{std::move(*root)};
  while (!pending.empty()) {
    const std::u16string directory = std::move(pending.back());
    pending.pop_back();
    // Looked at again, never following, just before it is listed: one
    // swapped for a link since its parent was listed would be listed through.
    if (files_.link_status(directory).is_link) return became_link(directory);
    auto entries = files_.list_directory(directory);
    // A directory removed since its parent was listed holds nothing to grant.
    if (!entries && is_not_found(entries.error())) continue;
    if (!entries) {
      return fail("look for links in " + utf16_to_utf8_lossy(directory) + ": " +
                  entries.error().text + cloud_advice(entries.error()));
    }
    for (const DirectoryEntry& entry : *entries) {
      std::u16string path = entry_path(directory, entry.name);
      // Any other reparse point holds its own content, which the grant
      // reaches like any directory's or file's.
      Status checked = success();
      if (entry.status.is_link) {
        checked = read_link(path, top.level);
      } else if (entry.status.is_directory) {
        pending.push_back(std::move(path));
      } else if (top.level == AccessLevel::Modify) {
        checked = check_names(path);
      }
      if (!checked) return checked;
    }
  }
  return success();
}

// What a link records is read first, so that a link to another machine is
// refused without a connection to it.
Status Walker::read_link(const std::u16string& link, AccessLevel level) {
  const std::string shown = utf16_to_utf8_lossy(link);
  auto record = files_.read_link(link);
  if (!record) return fail("read the target of link " + shown + ": " + record.error().text);
  if (record->kind == LinkRecord::Kind::kUnfollowable) {
    return fail("link " + shown +
                " is a WSL symbolic link, which Windows cannot follow; remove it, or make it "
                "again from Windows");
  }
  std::string recorded = utf16_to_utf8_lossy(record->target);
  if (record->kind == LinkRecord::Kind::kAbsolute &&
      (record->on_network_drive || !on_local_volume(record->target))) {
    return fail("link " + shown + " leads to " + recorded +
                ", which is on no local volume; remove the link");
  }
  met_.push_back({link, level, std::move(recorded)});
  return success();
}

// An open follows every link on the way to the target, so none is opened
// before the walk has read what every link records: a relative link to one
// met later, which leads to a share, would otherwise connect to it.
Status Walker::open_links() {
  for (const Met& met : met_) {
    if (auto opened = open_link(met); !opened) return opened;
  }
  return success();
}

// A link within a grant at `level` may lead only where the plan grants as
// much already: a Modify grant through a link into the read-only workspace
// would make that part of it writable.
Status Walker::open_link(const Met& met) {
  const std::string shown = utf16_to_utf8_lossy(met.link);
  // A dangling link is refused even when its text lies inside: icacls
  // would fail on it after a full pass, or follow what appears there later.
  auto opened = files_.open_link_target(met.link);
  if (!opened) {
    const std::string what = met.recorded.empty() ? "" : " leads to " + met.recorded + ", which";
    return fail("link " + shown + what + " cannot be opened: " + opened.error().text +
                (cloud_provider_offline(opened.error())
                     ? cloud_advice(opened.error())
                     : "; remove the link, or create its target"));
  }
  const auto where = utf16_to_utf8_strict(*opened);
  // icacls /T would walk the tree again at every turn of the loop.
  if (where && lies_within(shown, *where)) {
    return fail("link " + shown + " leads back to " + *where + ", which holds it; remove the link");
  }
  if (!where || !granted_within(*where, met.level)) {
    return fail("a grant would follow link " + shown + " to " +
                (where ? *where : utf16_to_utf8_lossy(*opened)) + "; " + link_advice(met.level));
  }
  accepted_.push_back({shown, *where});
  return success();
}

// One access list serves every name of a file: a write grant on one name
// makes the file writable under all of them, and outlives the revocation
// once the child has deleted the name the grant was given through.
// No listing Windows offers gives the count, so each file is opened once.
Status Walker::check_names(const std::u16string& file) {
  auto count = files_.link_count(file);
  // A file removed since its directory was listed is granted nothing.
  if (!count && is_not_found(count.error())) return success();
  if (!count) {
    return fail("count the names of " + utf16_to_utf8_lossy(file) + ": " + count.error().text);
  }
  if (*count <= 1) return success();
  const std::string shown = utf16_to_utf8_lossy(file);
  auto names = files_.file_names(file);
  if (!names) {
    return fail("a write grant on " + shown + " would reach other names of it, which cannot be " +
                "listed: " + names.error().text + std::string(kHardLinkAdvice));
  }
  for (const std::u16string& name : *names) {
    const auto text = utf16_to_utf8_strict(name);
    if (!text || !granted_within(*text, AccessLevel::Modify)) {
      return fail("a write grant on " + shown + " would reach its other name " +
                  utf16_to_utf8_lossy(name) + std::string(kHardLinkAdvice));
    }
  }
  return success();
}

// Link j follows link i when j lies within i's target: icacls /T, entering
// i, meets j. A cycle of such steps is a loop the walk of one link alone does
// not show. (A name that UTF-8 cannot carry is compared in its lossy form,
// which can only add a step that is not there: a refusal, never a miss.)
Status Walker::refuse_loops() {
  std::vector<Accepted>& links = accepted_;
  std::sort(links.begin(), links.end(),
            [](const Accepted& a, const Accepted& b) { return a.link < b.link; });
  // The links within a target are one run of the sorted list, from here.
  const auto first_within = [&](const std::string& target) {
    return static_cast<std::size_t>(
        std::lower_bound(links.begin(), links.end(), target,
                         [](const Accepted& a, const std::string& t) { return a.link < t; }) -
        links.begin());
  };
  enum : char { kUnseen, kOnPath, kDone };
  std::vector<char> state(links.size(), kUnseen);
  struct Step {
    std::size_t link, next;
  };
  for (std::size_t start = 0; start < links.size(); ++start) {
    if (state[start] != kUnseen) continue;
    state[start] = kOnPath;
    std::vector<Step> path{{start, first_within(links[start].target)}};
    while (!path.empty()) {
      const std::size_t from = path.back().link;
      const std::string& target = links[from].target;
      const std::size_t to = path.back().next++;
      if (to == links.size() || !links[to].link.starts_with(target)) {
        state[from] = kDone;
        path.pop_back();
      } else if (lies_within(links[to].link, target) && state[to] == kOnPath) {
        return fail("link " + links[from].link + " leads to link " + links[to].link +
                    ", which leads back to it; remove one of them");
      } else if (lies_within(links[to].link, target) && state[to] == kUnseen) {
        state[to] = kOnPath;
        path.push_back({to, first_within(links[to].target)});
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
  // From where the image lies, not the path it was started by: a link to
  // the executable, or to a directory on its path, would name another.
  const std::string file = env.executable_file();
  auto executable = files.canonicalize(file);
  const auto directory = executable ? parent_path(*executable) : std::nullopt;
  if (!directory) {
    return fail("invalid helper directory " + parent_path(file).value_or(file) + ": " +
                (executable ? "no parent" : executable.error().text));
  }
  return HelperDirectories{std::move(*state), *directory};
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
  if (level != AccessLevel::Modify) return success();
  if (lies_within(helper.executable, path)) {
    return fail(std::string(role) + " " + utf8_lossy(path) + " covers the helper's own directory " +
                utf8_lossy(helper.executable));
  }
  if (lies_within(path, helper.executable)) {
    return fail(std::string(role) + " " + utf8_lossy(path) +
                " lies in the helper's own directory " + utf8_lossy(helper.executable));
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
  Walker walker(files, granted);
  for (std::size_t i = 0; i < granted.size(); ++i) {
    bool covered = false;
    for (std::size_t o = 0; o < granted.size() && !covered; ++o) covered = walked_with(o, i);
    if (covered) continue;
    if (auto walked = walker.walk(granted[i]); !walked) return walked;
  }
  if (auto opened = walker.open_links(); !opened) return opened;
  return walker.refuse_loops();
}

}  // namespace tessarin
