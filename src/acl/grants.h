#pragma once
// File-system access of a sandbox identity, granted and revoked with
// icacls.exe, one tool run per path and direction.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/result.h"
#include "platform/file_system.h"
#include "platform/tool_runner.h"

namespace tessarin {

enum class AccessLevel { ReadExecute, Modify };

// What one run grants. Everything is borrowed from the caller.
struct GrantPlan {
  const std::string& workspace;
  const std::string& sid_text;
  AccessLevel workspace_level;
  const std::vector<std::string>& writable_roots;  // duplicates are granted again
  const std::vector<std::string>& readable_roots;  // likewise
  const std::string& sandbox_temp_dir;
};

// Workspace first, then every writable root, every readable root, and the
// temporary directory; stops at the first failure and leaves earlier grants
// for the caller to revoke.
Status grant_workspace_access(ToolRunner& tools, const GrantPlan& plan);
// Refuses, without running the tool, a path that is not valid UTF-8: the
// lease could not record it, so no later run could find the grant again.
Status grant_path(ToolRunner& tools, const std::string& path, const std::string& sid_text,
                  AccessLevel level);
// A path whose metadata cannot be read is skipped and counts as revoked.
Status revoke_path(ToolRunner& tools, FileSystem& files, const std::string& path,
                   const std::string& sid_text);
// Says whether a path whose revocation failed has been taken away instead.
using Disposal = std::function<bool(const std::string& path)>;
// Attempts every path; the failures' messages joined by "; ". A path whose
// revocation fails counts as revoked once `dispose`, if given, took it away.
Status revoke_all(ToolRunner& tools, FileSystem& files, const std::vector<std::string>& paths,
                  const std::string& sid_text, const Disposal& dispose = {});

}  // namespace tessarin
