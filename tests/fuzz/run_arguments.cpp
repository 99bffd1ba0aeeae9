// The arguments of `run`, as UTF-8 texts separated by NUL bytes. A request
// holds the arguments' tail as its command and, written back as a plain
// argument list, parses to the same request; a refusal is one of the
// documented messages, quoting an argument exactly as given. Every argument
// is also read as a parent process id, against the documented rule.

#include <algorithm>
#include <charconv>

#include "cli/arguments.h"
#include "fuzz.h"

using namespace tessarin;

namespace {

// An optional '+', one or more ASCII digits, at most 4294967295.
std::optional<std::uint32_t> documented_pid(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  text.remove_prefix(std::min(text.find_first_not_of('0'), text.size() - 1));
  std::uint64_t value = 0;
  if (text.size() > 10) return std::nullopt;
  std::from_chars(text.data(), text.data() + text.size(), value);
  if (value > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

void check_refusal(const std::vector<std::string>& arguments, const std::string& message) {
  for (const char* fixed : {"missing --workspace", "missing --cwd", "missing --preset",
                            "missing --parent-pid", "missing command after --"}) {
    if (message == fixed) return;
  }
  for (const auto& argument : arguments) {
    if (message == "unknown argument: " + argument) return;
    if (message == "invalid --parent-pid: " + argument && !documented_pid(argument)) return;
  }
  if (!arguments.empty() && message == "missing value after " + arguments.back()) return;
  fuzz::fault("undocumented refusal", message);
}

bool same(const RunRequest& a, const RunRequest& b) {
  return a.command == b.command && a.cwd == b.cwd && a.workspace == b.workspace &&
         a.preset == b.preset && a.writable_roots == b.writable_roots &&
         a.readable_roots == b.readable_roots && a.parent_pid == b.parent_pid &&
         a.network == b.network;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> arguments = fuzz::split_texts(data, size);
  for (const auto& argument : arguments) {
    fuzz::check(parse_parent_pid(argument) == documented_pid(argument), "parent pid", argument);
  }
  const auto request = parse_run_arguments(arguments);
  if (!request) {
    check_refusal(arguments, request.error());
    return 0;
  }
  const RunRequest& r = *request;
  fuzz::check(!r.command.empty(), "incomplete request");
  fuzz::check(r.command.size() < arguments.size() &&
                  std::equal(r.command.rbegin(), r.command.rend(), arguments.rbegin()),
              "the command is not the arguments' tail");

  std::vector<std::string> plain = {"--workspace",  r.workspace,          "--cwd",
                                    r.cwd,          "--preset",           r.preset,
                                    "--parent-pid", decimal(r.parent_pid)};
  for (const auto& root : r.writable_roots) plain.insert(plain.end(), {"--writable-root", root});
  for (const auto& root : r.readable_roots) plain.insert(plain.end(), {"--readable-root", root});
  if (r.network) plain.push_back("--network");
  plain.push_back("--");
  plain.insert(plain.end(), r.command.begin(), r.command.end());
  const auto again = parse_run_arguments(plain);
  fuzz::check(again && same(*again, r), "the request written back parses differently");
  return 0;
}
