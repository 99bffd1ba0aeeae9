// Drives the access-control operations over the real Win32 platform, for the
// Wine tests:
//   acl_probe.exe grant <path> <SID text> <rx|m>
//   acl_probe.exe grant-plan <workspace> <SID text> <preset> <temp dir> [writable root]...
//   acl_probe.exe revoke <SID text> [path]...
//   acl_probe.exe write-lease <profile name> [path]...
//   acl_probe.exe recover <profile name> <SID text>
//   acl_probe.exe lease-path <profile name>
//   acl_probe.exe walk <workspace> <preset> [writable root]...
// Prints one JSON line on standard output:
//   {"ok":true|false,"message":"...","path":"...","milliseconds":N,
//    "peak_working_set":N,"peak_private":N}
// ("message" only on failure, "path" only for lease-path, "milliseconds" only
// for walk: the time of the walk for links alone, after canonicalisation; the
// peaks are the process's own, in bytes, taken after the operation). Exits 0
// when the operation succeeded, 1 when it failed, 120 on a usage error.

#include <windows.h>

#include <psapi.h>

#include <string>
#include <vector>

#include "acl/grants.h"
#include "acl/lease.h"
#include "acl/reach.h"
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

double now_ms() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The walk a run makes before it grants, over the paths as the run
// canonicalises them; timed alone.
tessarin::Status walk(tessarin::Platform& platform, const std::vector<std::string>& rest,
                      std::string& extra) {
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (i == 1) continue;  // the preset
    auto canonical = platform.files.canonicalize(rest[i]);
    if (!canonical) return tessarin::fail(canonical.error().text);
    paths.push_back(*canonical);
  }
  const std::vector<std::string> roots(paths.begin() + 1, paths.end());
  const auto level = rest[1] == "workspace_write" ? tessarin::AccessLevel::Modify
                                                  : tessarin::AccessLevel::ReadExecute;
  const std::string none;
  const double started = now_ms();
  auto walked =
      tessarin::refuse_widening_links(platform.files, {paths[0], none, level, roots, {}, none});
  extra = ",\"milliseconds\":" + std::to_string(static_cast<long long>(now_ms() - started));
  return walked;
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
    const std::vector<std::string> roots(rest.begin() + 4, rest.end()), none;
    const auto level = rest[2] == "workspace_write" ? tessarin::AccessLevel::Modify
                                                    : tessarin::AccessLevel::ReadExecute;
    outcome = tessarin::grant_workspace_access(platform.tools,
                                               {rest[0], rest[1], level, roots, none, rest[3]});
  } else if (verb == "revoke" && !rest.empty()) {
    outcome = tessarin::revoke_all(platform.tools, platform.files, {rest.begin() + 1, rest.end()},
                                   rest[0]);
  } else if (verb == "write-lease" && !rest.empty()) {
    outcome = tessarin::write_acl_lease(platform, lease_of(platform, rest[0]),
                                        {rest.begin() + 1, rest.end()});
  } else if (verb == "recover" && rest.size() == 2) {
    outcome = tessarin::recover_stale_lease(platform, tessarin::state_layout(platform.env), rest[0],
                                            rest[1]);
  } else if (verb == "walk" && rest.size() >= 2) {
    outcome = walk(platform, rest, extra);
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
