#include "fakes/fake_platform.h"

#include <algorithm>

#include "base/path.h"
#include "base/text.h"
#include "fakes/names.h"

namespace tessarin::fakes {

// ---- console ---------------------------------------------------------------

Result<std::vector<std::string>> FakeConsole::arguments() {
  if (arguments_error) return fail(*arguments_error);
  return args;
}
void FakeConsole::write_stdout(std::string_view text) {
  out.append(text);
  ++stdout_writes;
}
void FakeConsole::write_stderr(std::string_view text) {
  err.append(text);
}

// ---- environment -----------------------------------------------------------

std::optional<std::string> FakeEnvironment::get(const std::string& name) {
  const auto it = variables.find(name);
  if (it == variables.end()) return std::nullopt;
  return it->second;
}

SysStatus FakeEnvironment::set(const std::string& name, const std::string& value) {
  log_.push_back("env set " + name + "=" + value);
  if (failing_sets.count(name) != 0) return sys_fail(FakeFileSystem::error(87));
  variables[name] = value;
  return {};
}

std::string FakeEnvironment::temp_directory() {
  for (const char* name : {"TMP", "TEMP"}) {
    if (const auto it = variables.find(name); it != variables.end()) return it->second;
  }
  return temp;
}

// ---- file system -----------------------------------------------------------

SystemError FakeFileSystem::error(std::uint32_t code, ErrorKind kind) {
  return SystemError{code, "fake error " + decimal(code) + " (os error " + decimal(code) + ")",
                     kind};
}

namespace {
SystemError not_found(std::uint32_t code) {
  return FakeFileSystem::error(code, ErrorKind::kNotFound);
}
}  // namespace

void FakeFileSystem::fail(const std::string& operation, const std::string& path, std::uint32_t code,
                          ErrorKind kind) {
  failures_[{operation, path}] = error(code, kind);
}

void FakeFileSystem::heal(const std::string& operation, const std::string& path) {
  failures_.erase({operation, path});
}

std::optional<SystemError> FakeFileSystem::injected(const std::string& operation,
                                                    const std::string& path) {
  const auto it = failures_.find({operation, path});
  if (it == failures_.end()) return std::nullopt;
  return it->second;
}

void FakeFileSystem::add_directory(const std::string& path) {
  if (const auto parent = parent_path(path); parent && !has(*parent)) add_directory(*parent);
  nodes[path].directory = true;
}

void FakeFileSystem::add_file(const std::string& path, std::string content) {
  if (const auto parent = parent_path(path); parent && !has(*parent)) add_directory(*parent);
  nodes[path] = Node{false, std::move(content), std::nullopt};
}

std::string FakeFileSystem::content(const std::string& path) const {
  const auto it = nodes.find(path);
  return it == nodes.end() ? std::string() : it->second.content;
}

std::optional<std::string> FakeFileSystem::resolve_key(const std::string& path) const {
  std::string current = path;
  for (int hops = 0; hops < 16; ++hops) {
    const auto it = nodes.find(current);
    if (it == nodes.end()) return std::nullopt;
    if (!it->second.link_target) return current;
    current = *it->second.link_target;
  }
  return std::nullopt;
}

const FakeFileSystem::Node* FakeFileSystem::resolve(const std::string& path) const {
  const auto key = resolve_key(path);
  return key ? &nodes.at(*key) : nullptr;
}

std::string FakeFileSystem::canonical_form(const std::string& key) const {
  const auto it = canonical.find(key);
  if (it != canonical.end()) return it->second;
  return key.starts_with("\\\\?\\") ? key : "\\\\?\\" + key;
}

bool FakeFileSystem::parent_is_directory(const std::string& path) const {
  const auto parent = parent_path(path);
  if (!parent) return true;  // a root
  const Node* node = resolve(*parent);
  return node != nullptr && node->directory;
}

bool FakeFileSystem::exists(const std::string& path) {
  return resolve(path) != nullptr;
}

bool FakeFileSystem::is_file(const std::string& path) {
  const Node* node = resolve(path);
  return node != nullptr && !node->directory;
}

SysResult<std::string> FakeFileSystem::read_file(const std::string& path) {
  log_.push_back("fs read " + path);
  if (auto e = injected("read_file", path)) return sys_fail(*e);
  const Node* node = resolve(path);
  if (node == nullptr) return sys_fail(not_found(2));
  if (node->directory) return sys_fail(error(5));
  return node->content;
}

SysStatus FakeFileSystem::write_file(const std::string& path, std::string_view bytes) {
  log_.push_back("fs write " + path);
  if (auto e = injected("write_file", path)) return sys_fail(*e);
  if (!parent_is_directory(path)) return sys_fail(not_found(3));
  const auto it = nodes.find(path);
  if (it != nodes.end() && it->second.directory) return sys_fail(error(5));
  nodes[path] = Node{false, std::string(bytes), std::nullopt};
  return {};
}

SysStatus FakeFileSystem::remove_file(const std::string& path) {
  log_.push_back("fs remove_file " + path);
  if (auto e = injected("remove_file", path)) return sys_fail(*e);
  const auto it = nodes.find(path);
  if (it == nodes.end()) return sys_fail(not_found(2));
  if (it->second.directory && !it->second.link_target) return sys_fail(error(5));
  nodes.erase(it);
  return {};
}

SysStatus FakeFileSystem::rename(const std::string& from, const std::string& to) {
  log_.push_back("fs rename " + from + " -> " + to);
  return move_nodes("rename", from, to);
}

SysStatus FakeFileSystem::move_nodes(const char* operation, const std::string& from,
                                     const std::string& to) {
  if (auto e = injected(operation, from)) return sys_fail(*e);
  if (!has(from)) return sys_fail(not_found(2));
  if (has(to)) return sys_fail(error(183, ErrorKind::kAlreadyExists));
  for (auto it = nodes.begin(); it != nodes.end();) {
    if (it->first == from || it->first.starts_with(from + "\\")) {
      nodes[to + it->first.substr(from.size())] = it->second;
      it = nodes.erase(it);
    } else {
      ++it;
    }
  }
  return {};
}

SysStatus FakeFileSystem::replace(const std::string& from, const std::string& to) {
  log_.push_back("fs replace " + from + " -> " + to);
  if (auto e = injected("replace", from)) return sys_fail(*e);
  if (!has(from)) return sys_fail(not_found(2));
  if (has(to) && nodes[to].directory) return sys_fail(error(5));
  nodes[to] = nodes[from];
  nodes.erase(from);
  return {};
}

SysStatus FakeFileSystem::create_directories(const std::string& path) {
  log_.push_back("fs create_directories " + path);
  if (auto e = injected("create_directories", path)) return sys_fail(*e);
  std::vector<std::string> missing;
  std::optional<std::string> current = path;
  while (current && !has(*current)) {
    missing.push_back(*current);
    current = parent_path(*current);
  }
  if (current) {
    const Node* node = resolve(*current);
    if (node == nullptr || !node->directory) {
      return sys_fail(error(183, ErrorKind::kAlreadyExists));
    }
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) nodes[*it].directory = true;
  return {};
}

SysResult<std::string> FakeFileSystem::canonicalize(const std::string& path) {
  log_.push_back("fs canonicalize " + path);
  if (auto e = injected("canonicalize", path)) return sys_fail(*e);
  if (!exists(path)) return sys_fail(not_found(2));
  return canonical_form(path);
}

namespace {

// UTF-16 to UTF-8, except that an unpaired surrogate is encoded like any
// other unit instead of being refused or replaced.
std::string node_key(std::u16string_view path) {
  std::string out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    std::uint32_t c = path[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < path.size() && path[i + 1] >= 0xDC00 &&
        path[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (path[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// The inverse of node_key, for keys that tests and node_key write.
std::u16string node_path(std::string_view key) {
  std::u16string out;
  for (std::size_t i = 0; i < key.size();) {
    const auto lead = static_cast<unsigned char>(key[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length && i + k < key.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(key[i + k]) & 0x3F);
    }
    i += length;
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

LinkStatus status_of(const FakeFileSystem::Node& node) {
  const bool link = node.link_target.has_value();
  return LinkStatus{true, node.directory, link || node.other_reparse_point, link};
}

}  // namespace

SysResult<std::u16string> FakeFileSystem::tree_path(const std::string& path) {
  return node_path(path);
}

LinkStatus FakeFileSystem::link_status(const std::u16string& wide_path) {
  const auto it = nodes.find(node_key(wide_path));
  if (it == nodes.end()) return {};
  return status_of(it->second);
}

SysResult<std::vector<DirectoryEntry>> FakeFileSystem::list_directory(
    const std::u16string& wide_path) {
  const std::string path = node_key(wide_path);
  log_.push_back("fs list " + path);
  if (auto e = injected("list_directory", path)) return sys_fail(*e);
  const auto it = nodes.find(path);
  if (it == nodes.end()) return sys_fail(not_found(3));
  if (!it->second.directory || it->second.link_target) return sys_fail(error(267));
  std::vector<DirectoryEntry> entries;
  for (const auto& [name, node] : nodes) {
    if (name != path && parent_path(name) == path) {
      entries.push_back(DirectoryEntry{node_path(file_name(name)), status_of(node)});
    }
  }
  if (after_list) after_list(path);
  return entries;
}

SysStatus FakeFileSystem::remove_file(const std::u16string& path) {
  return remove_file(node_key(path));
}

SysStatus FakeFileSystem::remove_empty_directory(const std::u16string& wide_path) {
  const std::string path = node_key(wide_path);
  log_.push_back("fs remove_directory " + path);
  if (auto e = injected("remove_empty_directory", path)) return sys_fail(*e);
  const auto it = nodes.find(path);
  if (it == nodes.end()) return sys_fail(not_found(2));
  if (!it->second.directory) return sys_fail(error(267));
  if (!it->second.link_target) {
    for (const auto& [name, node] : nodes) {
      if (name != path && parent_path(name) == path) return sys_fail(error(145));
    }
  }
  nodes.erase(it);
  return {};
}

SysStatus FakeFileSystem::move_entry(const std::u16string& wide_from,
                                     const std::u16string& wide_to) {
  const std::string from = node_key(wide_from);
  const std::string to = node_key(wide_to);
  log_.push_back("fs move " + from + " -> " + to);
  return move_nodes("move_entry", from, to);
}

SysResult<LinkRecord> FakeFileSystem::read_link(const std::u16string& wide_path) {
  const std::string path = node_key(wide_path);
  if (auto e = injected("read_link", path)) return sys_fail(*e);
  const auto it = nodes.find(path);
  if (it == nodes.end()) return sys_fail(not_found(2));
  if (!it->second.link_target) return sys_fail(error(4390));
  const std::string& recorded = *it->second.link_target;
  // A target written "wsl:..." stands for a link only WSL can follow.
  if (recorded.starts_with("wsl:")) return LinkRecord{LinkRecord::Kind::kUnfollowable, {}};
  if (!is_absolute_path(recorded))
    return LinkRecord{LinkRecord::Kind::kRelative, node_path(recorded)};
  // N: stands for a mapped network drive.
  return LinkRecord{LinkRecord::Kind::kAbsolute,
                    node_path(recorded.starts_with("\\\\") ? recorded : "\\\\?\\" + recorded),
                    recorded.starts_with("N:")};
}

SysResult<std::u16string> FakeFileSystem::open_link_target(const std::u16string& wide_path) {
  const std::string path = node_key(wide_path);
  log_.push_back("fs open_link_target " + path);
  const auto key = resolve_key(path);
  if (!key) return sys_fail(not_found(2));
  return node_path(canonical_form(*key));
}

SysResult<std::uint32_t> FakeFileSystem::link_count(const std::u16string& wide_path) {
  const auto it = nodes.find(node_key(wide_path));
  if (it == nodes.end()) return sys_fail(not_found(2));
  return static_cast<std::uint32_t>(1 + it->second.other_names.size());
}

SysResult<std::vector<std::u16string>> FakeFileSystem::file_names(const std::u16string& wide_path) {
  const std::string path = node_key(wide_path);
  if (auto e = injected("file_names", path)) return sys_fail(*e);
  const auto it = nodes.find(path);
  if (it == nodes.end()) return sys_fail(not_found(2));
  std::vector<std::u16string> names{wide_path};
  for (const std::string& name : it->second.other_names) names.push_back(node_path(name));
  return names;
}

// ---- tools -----------------------------------------------------------------

SysResult<CapturedRun> FakeToolRunner::record(Run run) {
  std::string line = "tool " + run.name;
  for (const auto& argument : run.arguments) line += " " + argument;
  log_.push_back(line);
  run.ends_with_caller = watched_ != nullptr;
  runs.push_back(run);
  if (on_run) return on_run(runs.back());
  return CapturedRun{};
}

SysResult<std::uint32_t> FakeToolRunner::run_inheriting(
    const std::string& bare_name, const std::vector<std::string>& arguments,
    const std::vector<VariableOverride>& overrides) {
  auto outcome = record(Run{bare_name, arguments, false, overrides});
  if (!outcome) return outcome.propagate();
  return outcome->exit_code;
}

SysResult<CapturedRun> FakeToolRunner::run_capturing(const std::string& bare_name,
                                                     const std::vector<std::string>& arguments) {
  return record(Run{bare_name, arguments, true, {}});
}

// ---- AppContainer ----------------------------------------------------------

std::string FakeAppContainerApi::sid_text_for(const std::string& name) {
  std::uint32_t hash = 2166136261u;
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return "S-1-15-2-" + decimal(hash) + "-" + decimal(name.size());
}

OwnedSid FakeAppContainerApi::allocate(std::string text, SidOrigin origin) {
  auto sid = std::make_unique<Sid>(Sid{std::move(text), origin});
  void* key = sid.get();
  live_[key] = std::move(sid);
  return OwnedSid(*this, key, origin);
}

namespace {
Err<SystemError> hresult_failure(std::uint32_t result, ErrorKind kind = ErrorKind::kOther) {
  return sys_fail(SystemError{result, "fake HRESULT " + hex8(result), kind});
}
}  // namespace

SysResult<OwnedSid> FakeAppContainerApi::create_profile(const std::string& name,
                                                        const std::string& display_name,
                                                        const std::string& description) {
  log_.push_back("profile create " + name + " [" + display_name + "] [" + description + "]");
  if (const auto it = create_results.find(name); it != create_results.end()) {
    return hresult_failure(it->second);
  }
  if (registered.count(name) != 0) return hresult_failure(0x800700B7u, ErrorKind::kAlreadyExists);
  registered.insert(name);
  return allocate(sid_text_for(name), SidOrigin::kFreeSid);
}

SysResult<OwnedSid> FakeAppContainerApi::derive_sid(const std::string& name) {
  log_.push_back("profile derive " + name);
  if (const auto it = derive_results.find(name); it != derive_results.end()) {
    return hresult_failure(it->second);
  }
  // Derivation works from the name alone, registered or not.
  return allocate(sid_text_for(name), SidOrigin::kFreeSid);
}

SysResult<std::string> FakeAppContainerApi::folder_path(const std::string& sid_text) {
  log_.push_back("profile folder " + sid_text);
  for (const auto& name : registered) {
    if (sid_text_for(name) == sid_text) return container_of(name);
  }
  return hresult_failure(0x80070002u, ErrorKind::kNotFound);
}

SysResult<std::string> FakeAppContainerApi::sid_to_string(const void* sid) {
  if (sid_to_string_error) return hresult_failure(*sid_to_string_error);
  const auto it = live_.find(const_cast<void*>(sid));
  if (it == live_.end()) return hresult_failure(87);
  return it->second->text;
}

SysResult<OwnedSid> FakeAppContainerApi::string_to_sid(const std::string& text) {
  log_.push_back("sid parse " + text);
  if (const auto it = string_to_sid_errors.find(text); it != string_to_sid_errors.end()) {
    return hresult_failure(it->second);
  }
  return allocate(text, SidOrigin::kLocalFree);
}

void FakeAppContainerApi::release_sid(void* sid, SidOrigin origin) {
  const auto it = live_.find(sid);
  if (it == live_.end()) {
    ++wrong_release_calls;  // a double release or a foreign pointer
    return;
  }
  if (it->second->origin != origin) ++wrong_release_calls;
  (origin == SidOrigin::kFreeSid ? free_sid_calls : local_free_calls)++;
  log_.push_back(std::string(origin == SidOrigin::kFreeSid ? "FreeSid " : "LocalFree ") +
                 it->second->text);
  live_.erase(it);
}

// ---- locks -----------------------------------------------------------------

namespace {
class FakeMutex final : public NamedMutex {
 public:
  FakeMutex(FakeLockApi& api, EventLog& log, std::string name)
      : api_(api), log_(log), name_(std::move(name)) {
    ++api_.open_handles;
  }
  ~FakeMutex() override {
    --api_.open_handles;
    log_.push_back("lock close " + name_);
  }
  SysResult<MutexWait> acquire(Handle& caller) override {
    log_.push_back("lock wait " + name_ + " or " + name_of(caller));
    if (api_.acquire_error) return sys_fail(FakeFileSystem::error(*api_.acquire_error));
    if (api_.caller_ends_first) return MutexWait{};
    return MutexWait{
        std::make_unique<FakeOwned<LockGuard>>(log_, api_.open_handles, "lock release " + name_),
        api_.abandoned};
  }

 private:
  FakeLockApi& api_;
  EventLog& log_;
  std::string name_;
};
}  // namespace

SysResult<std::unique_ptr<NamedMutex>> FakeLockApi::create_mutex(const std::string& name) {
  log_.push_back("lock create " + name);
  if (create_error) return sys_fail(FakeFileSystem::error(*create_error));
  return std::unique_ptr<NamedMutex>(std::make_unique<FakeMutex>(*this, log_, name));
}

SysResult<FileLockAttempt> FakeLockApi::try_lock_file(const std::string& path) {
  log_.push_back("lock file " + path);
  if (held_elsewhere > 0) {
    --held_elsewhere;
    return FileLockAttempt{};
  }
  if (file_lock_error) {
    return sys_fail(FakeFileSystem::error(*std::exchange(file_lock_error, std::nullopt)));
  }
  return FileLockAttempt{
      std::make_unique<FakeOwned<LockGuard>>(log_, open_handles, "lock unlock " + path)};
}

// ---- bundle ----------------------------------------------------------------

std::vector<std::string> FakePlatform::events(const std::string& prefix) const {
  std::vector<std::string> out;
  std::copy_if(log.begin(), log.end(), std::back_inserter(out),
               [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
  return out;
}

std::vector<std::pair<std::string, bool>> damaged_copies(const std::string& good) {
  std::vector<std::pair<std::string, bool>> copies;
  for (std::size_t i = 0; i < good.size(); ++i) {
    copies.emplace_back(good.substr(0, i), true);
    for (int bit = 0; bit < 8; ++bit) {
      copies.emplace_back(good, false);
      copies.back().first[i] = static_cast<char>(good[i] ^ (1 << bit));
    }
  }
  return copies;
}

}  // namespace tessarin::fakes
