// Starts one program and writes its full 32-bit exit code to a file, because
// Wine hands Linux only the low 8 bits of an exit code. The file also says how
// far this program got: empty once its own code runs, "started" once the
// program is running, then the exit code. So a missing file proves that Wine
// never ran any code of ours, and only that is worth starting again.
//
//   run_and_report.exe <result file> [--env NAME=VALUE]... [--unset NAME]...
//                      -- <program> [argument]...
//
// The environment changes apply to the started program only. An argument
// that is exactly @PARENT_PID@ is replaced by this process's identifier, so
// that a test can name a living caller. Every @U+D800@ in the command line is
// replaced by that single UTF-16 unit, an unpaired surrogate, which no UTF-8
// text can carry and so no Linux argument can pass to Wine.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "support/program_support.h"

using tessarin::win32::UniqueHandle;

int main() {
  // First of all, with system calls only: the result file exists as soon as
  // this program runs at all.
  int count = 0;
  const tessarin::win32::UniqueLocal raw(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!raw || count < 2 ||
      !tessarin::win32::UniqueHandle(CreateFileW(static_cast<wchar_t**>(raw.get())[1],
                                                 GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                                 nullptr))) {
    std::fputs("run_and_report: cannot create the result file\n", stderr);
    return 122;
  }
  // The unpaired surrogates are made below, in the command line, so the
  // arguments themselves can be read strictly.
  const auto all = program_support::arguments();
  if (!all || all->size() < 4) {
    std::fputs("run_and_report: usage: <result file> [--env N=V] [--unset N] -- <program>...\n",
               stderr);
    return 120;
  }
  const std::vector<std::string>& args = *all;
  const std::string result_file = args[1];
  const auto report = [&](const std::string& text) {
    if (program_support::write_file(result_file, text, program_support::Write::Replace)) {
      return true;
    }
    std::fprintf(stderr, "run_and_report: cannot write %s: %lu\n", result_file.c_str(),
                 GetLastError());
    return false;
  };
  std::size_t i = 2;
  for (; i < args.size() && args[i] != "--"; ++i) {
    if (args[i] == "--env" && i + 1 < args.size() && args[i + 1].find('=') != std::string::npos) {
      const std::string& pair = args[++i];
      const std::size_t eq = pair.find('=');
      SetEnvironmentVariableW(tessarin::win32::wide(tessarin::utf8_to_utf16(pair.substr(0, eq))),
                              tessarin::win32::wide(tessarin::utf8_to_utf16(pair.substr(eq + 1))));
    } else if (args[i] == "--unset" && i + 1 < args.size()) {
      SetEnvironmentVariableW(tessarin::win32::wide(tessarin::utf8_to_utf16(args[++i])), nullptr);
    } else {
      std::fprintf(stderr, "run_and_report: unexpected %s\n", args[i].c_str());
      return 120;
    }
  }
  std::vector<std::string> command(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
  if (command.empty()) return 120;
  for (auto& argument : command) {
    if (argument == "@PARENT_PID@") argument = std::to_string(GetCurrentProcessId());
  }

  tessarin::WideBuffer line = tessarin::build_command_line(command);
  const std::u16string token = u"@U+D800@";
  for (auto at = std::search(line.begin(), line.end(), token.begin(), token.end());
       at != line.end(); at = std::search(at + 1, line.end(), token.begin(), token.end())) {
    *at = char16_t{0xD800};
    at = line.erase(at + 1, at + static_cast<std::ptrdiff_t>(token.size())) - 1;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, tessarin::win32::wide(line), nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &info)) {
    std::fprintf(stderr, "run_and_report: CreateProcessW failed: %lu\n", GetLastError());
    return 121;
  }
  const UniqueHandle process(info.hProcess);
  const UniqueHandle thread(info.hThread);
  if (!report("started")) return 122;
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);

  if (!report(std::to_string(code))) return 122;
  return static_cast<int>(code);
}
