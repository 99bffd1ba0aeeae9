#include "acl/grants.h"

#include "base/text.h"

namespace tessarin {
namespace {

const char* permission_text(AccessLevel level) {
  return level == AccessLevel::Modify ? "(OI)(CI)M" : "(OI)(CI)RX";
}

// Messages must stay printable even for a path that did not come from the
// file system.
std::string shown(const std::string& path) {
  return utf8_lossy(path);
}

// What the tool said on standard error, as one line fit for a message. Its
// output is in whatever the console code page makes of it, so bytes that are
// not UTF-8 are replaced rather than trusted.
std::string error_detail(const std::string& standard_error) {
  return trim_unicode_white_space(utf8_lossy(standard_error));
}

// One run of icacls.exe, found by the bare-name tool search, with standard
// output dropped and standard error kept.
SysResult<CapturedRun> run_icacls(ToolRunner& tools, const std::vector<std::string>& arguments) {
  return tools.run_capturing("icacls.exe", arguments);
}

}  // namespace

Status grant_path(ToolRunner& tools, const std::string& path, const std::string& sid_text,
                  AccessLevel level) {
  if (!is_valid_utf8(path)) {
    return fail("workspace ACL grant failed for " + shown(path) + ": the path is not valid UTF-8");
  }
  const std::string trustee = "*" + sid_text + ":" + permission_text(level);
  auto ran = run_icacls(tools, {path, "/grant", trustee, "/T", "/C", "/Q"});
  if (!ran) return fail("failed to start icacls for " + shown(path) + ": " + ran.error().text);
  if (ran->exit_code != 0) {
    return fail("workspace ACL grant failed for " + shown(path) + ": " +
                error_detail(ran->standard_error));
  }
  return success();
}

Status grant_workspace_access(ToolRunner& tools, const GrantPlan& plan) {
  const auto grant_each = [&](const std::vector<std::string>& paths, AccessLevel level) -> Status {
    for (const auto& path : paths) {
      if (auto granted = grant_path(tools, path, plan.sid_text, level); !granted) return granted;
    }
    return success();
  };
  if (auto granted = grant_path(tools, plan.workspace, plan.sid_text, plan.workspace_level);
      !granted) {
    return granted;
  }
  // A writable root is writable whatever the preset says about the workspace;
  // a readable root (a toolchain, a sibling checkout) is never writable.
  if (auto granted = grant_each(plan.writable_roots, AccessLevel::Modify); !granted) {
    return granted;
  }
  if (auto granted = grant_each(plan.readable_roots, AccessLevel::ReadExecute); !granted) {
    return granted;
  }
  return grant_path(tools, plan.sandbox_temp_dir, plan.sid_text, AccessLevel::Modify);
}

Status revoke_path(ToolRunner& tools, FileSystem& files, const std::string& path,
                   const std::string& sid_text) {
  // Nothing there means no entries left to remove; running the tool on it
  // would only fail and keep the lease alive for ever.
  if (!files.exists(path)) return success();
  auto ran = run_icacls(tools, {path, "/remove:g", "*" + sid_text, "/T", "/C", "/Q"});
  if (!ran) return fail("failed to start icacls for " + shown(path) + ": " + ran.error().text);
  if (ran->exit_code != 0) {
    return fail("workspace ACL cleanup failed for " + shown(path) + ": " +
                error_detail(ran->standard_error));
  }
  return success();
}

Status revoke_all(ToolRunner& tools, FileSystem& files, const std::vector<std::string>& paths,
                  const std::string& sid_text, const Disposal& dispose) {
  std::string failures;
  bool failed = false;
  for (const auto& path : paths) {
    if (auto revoked = revoke_path(tools, files, path, sid_text);
        !revoked && !(dispose && dispose(path))) {
      if (failed) failures += "; ";
      failures += revoked.error();
      failed = true;
    }
  }
  if (failed) return fail(std::move(failures));
  return success();
}

}  // namespace tessarin
