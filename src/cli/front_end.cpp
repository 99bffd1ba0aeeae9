#include "cli/front_end.h"

#include <string>
#include <string_view>
#include <vector>

#include "cli/arguments.h"
#include "cli/status_report.h"
#include "provision/readiness.h"
#include "provision/setup.h"
#include "run/run_sandboxed.h"

namespace tessarin {
namespace {

void print_error(Console& console, std::string_view message) {
  std::string line = "tessarin-sandbox: ";
  line += message;
  line += '\n';
  console.write_stderr(line);
}

}  // namespace

std::uint32_t run_front_end(Platform& platform) {
  Console& console = platform.console;
  auto arguments = console.arguments();
  if (!arguments) {
    print_error(console, arguments.error());
    return kExitBadArgumentEncoding;
  }
  const std::vector<std::string>& args = *arguments;
  if (args.size() < 2) {
    print_error(console, kUsage);
    return kExitUsage;
  }

  const std::string& command = args[1];
  if (command == "status") {
    std::string line = serialize_status_report(
        make_status_report(verify_readiness(platform, state_layout(platform.env))));
    line += '\n';
    console.write_stdout(line);
    return kExitOk;
  }
  if (command == "setup") {
    const Status outcome = run_setup(platform);
    if (!outcome) {
      print_error(console, outcome.error());
      return kExitSetupFailed;
    }
    console.write_stdout("{\"version\":1,\"ready\":true}\n");
    return kExitOk;
  }
  if (command == "run") {
    auto request = parse_run_arguments(std::vector<std::string>(args.begin() + 2, args.end()));
    if (!request) {
      print_error(console, request.error());
      return kExitUsage;
    }
    const auto outcome = run_sandboxed(platform, std::move(*request));
    if (!outcome) {
      print_error(console, outcome.error());
      return kExitRunFailed;
    }
    return *outcome;
  }
  print_error(console, kUsage);
  return kExitUsage;
}

}  // namespace tessarin
