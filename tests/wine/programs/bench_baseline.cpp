// The benchmarks' baseline: starts the processes listed in a plan file, one
// after another, each waited for, and does nothing else, so that the helper's
// time for a command can be compared with the time its tool runs cost alone.
// It imports nothing beyond kernel32 and the C runtime, as an empty program.
//
//   bench_baseline.exe <plan file>
//
// Each line of the plan (UTF-8) is how the helper started the process
// ("inherit": on its own streams, "capture": on pipes), the program file's
// path, then its argument vector from argument 0 on, separated by tabs; the
// command line is quoted as the helper quotes its tools', and the console
// flags are the helper's, so that the figures compare the helper's work and
// not the cost of a console. Exits 0, or 1 when a process cannot be started
// or the plan cannot be read.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/command_line.h"

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  std::FILE* file = std::fopen(argv[1], "rb");
  if (file == nullptr) return 1;
  std::string plan;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
    plan.append(chunk, got);
  std::fclose(file);

  for (std::size_t start = 0; start < plan.size();) {
    std::size_t end = plan.find('\n', start);
    if (end == std::string::npos) end = plan.size();
    std::vector<std::string> fields;
    for (std::size_t at = start; at <= end;) {
      const std::size_t tab = std::min(plan.find('\t', at), end);
      fields.push_back(plan.substr(at, tab - at));
      at = tab + 1;
    }
    start = end + 1;
    if (fields.size() < 3) continue;
    tessarin::WideBuffer application = tessarin::to_wide_nul(fields[1]);
    tessarin::WideBuffer line =
        tessarin::build_command_line(std::vector<std::string>(fields.begin() + 2, fields.end()));
    // As the helper's tool runner decides; the baseline's own standard
    // handles are never a console under the bench.
    const DWORD flags = fields[0] == "capture"          ? CREATE_NO_WINDOW
                        : GetConsoleWindow() != nullptr ? 0
                                                        : DETACHED_PROCESS;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(reinterpret_cast<wchar_t*>(application.data()),
                        reinterpret_cast<wchar_t*>(line.data()), nullptr, nullptr, FALSE, flags,
                        nullptr, nullptr, &startup, &info)) {
      return 1;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  return 0;
}
