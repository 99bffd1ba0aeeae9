// Drives the access-control operations over the real Win32 platform, for the
// Wine tests:
//   acl_probe.exe grant <path> <SID text> <rx|m>
//   acl_probe.exe grant-plan <workspace> <SID text> <preset> <temp dir> [writable root]...
//   acl_probe.exe revoke <SID text> [path]...
//   acl_probe.exe write-lease <profile name> [path]...
//   acl_probe.exe recover <profile name> <SID text>
//   acl_probe.exe lease-path <profile name>
// Prints one JSON line on standard output:
//   {"ok":true|false,"message":"...","path":"...","peak_working_set":N,"peak_private":N}
// ("message" only on failure, "path" only for lease-path; the peaks are the
// process's own, in bytes, taken after the operation). Exits 0 when the
// operation succeeded, 1 when it failed, 120 on a usage error.

#include <windows.h>

#include <psapi.h>

#include <string>
#include <vector>

#include "acl/grants.h"
#include "acl/lease.h"
#include "base/json_text.h"
#include "base/text.h"
#include "platform/win32/win32_platform.h"
#include "provision/state_layout.h"
#include "support/program_support.h"

namespace {

std::string memory_fields() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return "";
  return ",\"peak_working_set\":" + std::to_string(counters.PeakWorkingSetSize) +
         ",\"peak_private\":" + std::to_string(counters.PeakPagefileUsage);
}

std::string lease_of(tessarin::Platform& platform, const std::string& profile) {
  return tessarin::state_layout(platform.env).lease(profile);
}

}  // namespace

int main() {
  auto all = program_support::arguments();
  if (!all || all->size() < 2) return 120;
  const std::vector<std::string> args(all->begin() + 1, all->end());

  auto holder = tessarin::win32::make_platform();
  tessarin::Platform& platform = holder->get();
  const std::string& verb = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  tessarin::Status outcome;
  std::string extra;
  if (verb == "grant" && rest.size() == 3) {
    const auto level =
        rest[2] == "m" ? tessarin::AccessLevel::Modify : tessarin::AccessLevel::ReadExecute;
    outcome = tessarin::grant_path(platform.tools, rest[0], rest[1], level);
  } else if (verb == "grant-plan" && rest.size() >= 4) {
    const std::vector<std::string> roots(rest.begin() + 4, rest.end());
    const auto level = rest[2] == "workspace_write" ? tessarin::AccessLevel::Modify
                                                    : tessarin::AccessLevel::ReadExecute;
    outcome =
        tessarin::grant_workspace_access(platform.tools, {rest[0], rest[1], level, roots, rest[3]});
  } else if (verb == "revoke" && !rest.empty()) {
    outcome = tessarin::revoke_all(platform.tools, platform.files, {rest.begin() + 1, rest.end()},
                                   rest[0]);
  } else if (verb == "write-lease" && !rest.empty()) {
    outcome = tessarin::write_acl_lease(platform, lease_of(platform, rest[0]),
                                        {rest.begin() + 1, rest.end()});
  } else if (verb == "recover" && rest.size() == 2) {
    outcome = tessarin::recover_stale_lease(platform, tessarin::state_layout(platform.env), rest[0],
                                            rest[1]);
  } else if (verb == "lease-path" && rest.size() == 1) {
    extra = ",\"path\":";
    tessarin::append_json_string(extra, lease_of(platform, rest[0]));
  } else {
    return 120;
  }
  std::string line = outcome ? "{\"ok\":true" : "{\"ok\":false,\"message\":";
  if (!outcome) tessarin::append_json_string(line, outcome.error());
  program_support::print(line + extra + memory_fields() + "}\n");
  return outcome ? 0 : 1;
}
