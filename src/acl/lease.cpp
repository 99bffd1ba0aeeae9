#include "acl/lease.h"

#include <exception>
#include <nlohmann/json.hpp>

#include "acl/clear_away.h"
#include "acl/grants.h"
#include "base/json_text.h"
#include "base/path.h"
#include "base/text.h"
#include "platform/errors.h"
#include "platform/remove_tree.h"

namespace tessarin {
namespace {

bool is_json_white_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string position_of(std::string_view bytes, std::size_t offset) {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset && i < bytes.size(); ++i) {
    if (bytes[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return "line " + decimal(line) + ", column " + decimal(offset - line_start + 1);
}

std::size_t skip_white_space(std::string_view bytes, std::size_t i) {
  while (i < bytes.size() && is_json_white_space(bytes[i])) ++i;
  return i;
}

// Where element `index` of the top-level array starts. Only called once the
// parser has accepted every element before it as a string, so the scan can
// rely on the grammar.
std::size_t element_offset(std::string_view bytes, std::size_t index) {
  std::size_t i = skip_white_space(bytes, 0) + 1;  // past '['
  for (std::size_t k = 0; k < index; ++k) {
    i = skip_white_space(bytes, i) + 1;  // past the opening quotation mark
    while (i < bytes.size() && bytes[i] != '"') i += bytes[i] == '\\' ? 2 : 1;
    i = skip_white_space(bytes, i + 1) + 1;  // past ','
  }
  return skip_white_space(bytes, i);
}

// Collects the strings of one top-level array and stops at anything else.
// The parser itself enforces the grammar, the UTF-8 of strings and that
// nothing follows the array.
class LeaseReader {
 public:
  using json = nlohmann::json;

  explicit LeaseReader(std::string_view bytes) : bytes_(bytes) {}

  std::vector<std::string> paths;
  std::string error;

  bool null() { return unexpected("null"); }
  bool boolean(bool) { return unexpected("a boolean"); }
  bool number_integer(json::number_integer_t) { return unexpected("a number"); }
  bool number_unsigned(json::number_unsigned_t) { return unexpected("a number"); }
  bool number_float(json::number_float_t, const std::string&) { return unexpected("a number"); }
  bool binary(json::binary_t&) { return unexpected("binary data"); }
  bool start_object(std::size_t) { return unexpected("an object"); }
  bool key(std::string&) { return unexpected("an object"); }
  bool end_object() { return unexpected("an object"); }
  bool start_array(std::size_t) {
    if (depth_ != 0 || seen_array_) return unexpected("an array");
    depth_ = 1;
    seen_array_ = true;
    return true;
  }
  bool end_array() {
    depth_ = 0;
    return true;
  }
  bool string(std::string& value) {
    if (depth_ == 0) return unexpected("a string");
    // An escaped NUL is valid JSON, but a path holding one would reach
    // Windows cut short there, so revocation would act on another path.
    if (value.find('\0') != std::string::npos) {
      error = "invalid path at " + position_of(bytes_, element_offset(bytes_, paths.size())) +
              ": a NUL character is not allowed";
      return false;
    }
    paths.push_back(std::move(value));
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    // The library's description without its "[json.exception...] " tag.
    std::string_view text = e.what();
    if (!text.empty() && text.front() == '[') {
      if (const std::size_t close = text.find("] "); close != std::string_view::npos) {
        text.remove_prefix(close + 2);
      }
    }
    // It quotes the bytes last read, which need not be UTF-8.
    error = utf8_lossy(text);
    return false;
  }

 private:
  bool unexpected(const char* what) {
    if (depth_ == 0) {
      error = "type error at " + position_of(bytes_, skip_white_space(bytes_, 0)) +
              ": the lease must be an array of strings, not " + what;
    } else {
      error = "type error at " + position_of(bytes_, element_offset(bytes_, paths.size())) +
              ": the lease must hold only strings, not " + what;
    }
    return false;
  }

  std::string_view bytes_;
  int depth_ = 0;
  bool seen_array_ = false;
};

// Why a path cannot be leased, or an empty text when it can.
std::string unrecordable(const std::string& path) {
  if (!is_valid_utf8(path)) return "the path is not valid UTF-8";
  if (path.find('\0') != std::string::npos) return "the path contains a NUL character";
  return {};
}

std::string shown(const std::string& path) {
  std::string text = utf8_lossy(path);
  for (auto& c : text) {
    if (c == '\0') c = '?';
  }
  return text;
}

// The temporary directory of the dead run that wrote a lease: it belongs to
// nobody now, and no later run would ever look at it again. Our own is left
// alone; the run resets it. So is one whose number a live process carries: it
// may be another identity's run that was given the dead run's number, and its
// directory is its own now.
bool is_dead_runs_temp_dir(Platform& platform, const StateLayout& layout, const std::string& path) {
  const auto pid = run_temp_pid(layout, path);
  return pid && *pid != platform.env.current_process_id() && !is_alive(platform.processes, *pid);
}

// Temporary files of this identity's lease left by instances killed while
// writing it. The caller holds the identity's lock, so no live writer owns
// one.
void remove_stray_temporaries(Platform& platform, const StateLayout& layout,
                              const std::string& profile) {
  auto wide = platform.files.tree_path(layout.leases());
  if (!wide) return;
  auto entries = platform.files.list_directory(*wide);
  if (!entries) return;
  const std::u16string prefix = utf8_to_utf16(profile + ".tmp-");
  for (const auto& entry : *entries) {
    if (entry.name.starts_with(prefix) && !entry.status.is_directory) {
      (void)platform.files.remove_file(entry_path(*wide, entry.name));
    }
  }
}

}  // namespace

std::string encode_acl_lease(const std::vector<std::string>& paths) {
  std::string out = "[";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (i != 0) out.push_back(',');
    append_json_string(out, paths[i]);
  }
  out.push_back(']');
  return out;
}

Result<std::vector<std::string>> decode_acl_lease(std::string_view bytes) {
  // The library would skip a byte-order mark without a word; a lease never
  // has one, so a file that does was not written by this helper.
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    return fail("parse error at line 1, column 1: a byte-order mark is not allowed");
  }
  // The library takes a NUL byte for the end of its input, so that whatever
  // follows one would be ignored; no byte of a lease may be NUL.
  if (const std::size_t nul = bytes.find('\0'); nul != std::string_view::npos) {
    return fail("parse error at " + position_of(bytes, nul) + ": a NUL byte is not allowed");
  }
  LeaseReader reader(bytes);
  try {
    if (!nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &reader)) {
      return fail(reader.error);
    }
  } catch (const std::exception& e) {
    return fail(std::string(e.what()));
  }
  return std::move(reader.paths);
}

Status write_acl_lease(Platform& platform, const std::string& lease,
                       const std::vector<std::string>& paths) {
  for (const auto& path : paths) {
    if (const std::string why = unrecordable(path); !why.empty()) {
      return fail("ACL lease cannot record " + shown(path) + ": " + why);
    }
  }
  const auto parent = parent_path(lease);
  if (!parent) return fail("ACL lease path has no parent");
  if (auto made = platform.files.create_directories(*parent); !made) {
    return fail("create ACL lease directory: " + made.error().text);
  }
  const std::string content = encode_acl_lease(paths);
  const std::string temporary =
      replace_extension(lease, "tmp-" + decimal(platform.env.current_process_id()));
  // Left by an earlier instance that had this process identifier and died
  // mid-write; it holds nothing anyone needs.
  if (platform.files.exists(temporary)) {
    if (auto removed = platform.files.remove_file(temporary); !removed) {
      return fail("reset ACL lease: " + removed.error().text);
    }
  }
  if (auto written = platform.files.write_file(temporary, content); !written) {
    return fail("write ACL lease: " + written.error().text);
  }
  // One replacing move, so that a reader finds the old list or the new one,
  // never a part.
  if (auto committed = platform.files.replace(temporary, lease); !committed) {
    return fail("commit ACL lease: " + committed.error().text);
  }
  return success();
}

Status recover_stale_lease(Platform& platform, const StateLayout& layout,
                           const std::string& profile, const std::string& sid_text) {
  const std::string lease = layout.lease(profile);
  remove_stray_temporaries(platform, layout, profile);
  std::vector<std::string> paths;
  if (platform.files.exists(lease)) {
    auto bytes = platform.files.read_file(lease);
    if (!bytes) return fail("read ACL lease: " + bytes.error().text);
    auto decoded = decode_acl_lease(*bytes);
    // The lease stays: deleting what cannot be read would forget grants that
    // may still be in force.
    if (!decoded) return fail("parse ACL lease: " + decoded.error());
    paths = std::move(*decoded);
  }
  if (paths.empty()) {
    if (auto removed = platform.files.remove_file(lease); !removed) {
      if (is_not_found(removed.error())) return success();
      return fail("remove empty ACL lease: " + removed.error().text);
    }
    return success();
  }
  // A dead run's temporary directory that cannot be revoked (its command may
  // have locked a folder in it) is taken away instead, so that it cannot
  // wedge the identity. Otherwise, on failure, the lease stays, so that the
  // next run of the identity tries again.
  const auto dispose = [&](const std::string& path) {
    const auto pid = run_temp_pid(layout, path);
    if (!pid || (*pid != platform.env.current_process_id() && is_alive(platform.processes, *pid)))
      return false;
    auto tree = platform.files.tree_path(path);
    return tree && clear_away(platform, layout, *tree).ok();
  };
  if (auto revoked = revoke_all(platform.tools, platform.files, paths, sid_text, dispose); !revoked)
    return revoked;
  // Before the lease goes, so that a run killed here leaves it to be found.
  for (const auto& path : paths) {
    if (is_dead_runs_temp_dir(platform, layout, path)) (void)remove_tree(platform.files, path);
  }
  if (auto removed = platform.files.remove_file(lease); !removed) {
    return fail("remove ACL lease: " + removed.error().text);
  }
  return success();
}

}  // namespace tessarin
