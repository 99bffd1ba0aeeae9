#include "provision/state_layout.h"

#include <charconv>

#include "base/path.h"
#include "base/text.h"

namespace tessarin {

std::string StateLayout::marker() const {
  return join_path(directory, "setup-v1.json");
}
std::string StateLayout::leases() const {
  return join_path(directory, "acl-leases");
}
std::string StateLayout::lease(const std::string& profile) const {
  return join_path(leases(), profile + ".json");
}
std::string StateLayout::lock(const std::string& profile) const {
  return join_path(leases(), profile + ".lock");
}
std::string StateLayout::temp_root() const {
  return join_path(directory, "tmp");
}
std::string StateLayout::run_temp(std::uint32_t pid) const {
  return join_path(temp_root(), decimal(pid));
}
std::string StateLayout::stale() const {
  return join_path(directory, "stale");
}

StateLayout state_layout(Environment& env) {
  // An empty or relative LOCALAPPDATA counts as undefined: a relative state
  // directory would move with each caller's current directory, and a killed
  // run's lease would then be looked for in the wrong place.
  std::string base = env.get("LOCALAPPDATA").value_or(std::string());
  if (!is_absolute_path(base)) base = env.temp_directory();
  return StateLayout{join_path(join_path(base, "Tessarin"), "sandbox")};
}

std::optional<std::uint32_t> run_temp_pid(const StateLayout& layout, std::string_view path) {
  if (parent_path(path) != layout.temp_root()) return std::nullopt;
  const std::string_view name = file_name(path);
  std::uint32_t pid = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
  if (name.empty() || error != std::errc{} || end != name.data() + name.size()) {
    return std::nullopt;
  }
  return pid;
}

Status create_state_directory(FileSystem& files, const StateLayout& layout) {
  if (auto made = files.create_directories(layout.directory); !made) {
    return fail("create state directory: " + made.error().text);
  }
  return success();
}

}  // namespace tessarin
