#include "cli/arguments.h"

#include <cstdint>

namespace tessarin {

std::optional<std::uint32_t> parse_parent_pid(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    // Leading zeros never push the value up, so this bound holds for any length.
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

Result<RunRequest> parse_run_arguments(const std::vector<std::string>& arguments) {
  RunRequest request;
  std::optional<std::string> workspace, cwd, preset;
  std::optional<std::uint32_t> parent_pid;
  bool saw_separator = false;

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      saw_separator = true;
      request.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                             arguments.end());
      break;
    }
    if (argument == "--network") {
      request.network = true;
      continue;
    }
    const bool takes_value = argument == "--workspace" || argument == "--cwd" ||
                             argument == "--preset" || argument == "--parent-pid" ||
                             argument == "--writable-root" || argument == "--readable-root";
    if (!takes_value) return fail("unknown argument: " + argument);
    if (i + 1 >= arguments.size()) return fail("missing value after " + argument);
    const std::string& value = arguments[++i];
    if (argument == "--workspace") {
      workspace = value;
    } else if (argument == "--cwd") {
      cwd = value;
    } else if (argument == "--preset") {
      preset = value;
    } else if (argument == "--writable-root") {
      request.writable_roots.push_back(value);
    } else if (argument == "--readable-root") {
      request.readable_roots.push_back(value);
    } else {
      parent_pid = parse_parent_pid(value);
      if (!parent_pid) return fail("invalid --parent-pid: " + value);
    }
  }

  if (!workspace) return fail("missing --workspace");
  if (!cwd) return fail("missing --cwd");
  if (!preset) return fail("missing --preset");
  if (!parent_pid) return fail("missing --parent-pid");
  if (!saw_separator || request.command.empty()) return fail("missing command after --");

  request.workspace = std::move(*workspace);
  request.cwd = std::move(*cwd);
  request.preset = std::move(*preset);
  request.parent_pid = *parent_pid;
  return request;
}

}  // namespace tessarin
