// The benchmarks' baseline: makes the system calls listed in a plan file, one
// after another, and does nothing else, so that the helper's time for a
// command can be compared with the time the system's work for it costs alone:
// the tools it starts, each waited for, and the profile calls it makes. It
// imports nothing beyond kernel32 and the C runtime, as an empty program, and
// binds userenv, advapi32 and CoTaskMemFree from the system directory when
// the plan first needs them, as the helper does.
//
//   bench_baseline.exe <plan file>
//
// Each line of the plan (UTF-8) has fields separated by tabs:
//   inherit|capture PROGRAM ARG0 ARG...
//       starts the program as the helper starts a tool ("inherit": on its own
//       streams, "capture": on pipes); the command line is quoted as the
//       helper quotes its tools', and the console flags are the helper's, so
//       that the figures compare the helper's work and not a console's cost;
//   create NAME DISPLAY DESCRIPTION
//       registers a profile (or finds it registered) and frees its SID;
//   derive NAME
//       derives a profile's SID from its name and turns it into text;
//   folder SID
//       asks for the folder of the profile with that SID, and frees the path.
// Exits 0, or 1 when a process cannot be started, a function cannot be bound
// or the plan cannot be read. What a profile call returns does not matter.

#include <windows.h>

#include <objbase.h>
#include <sddl.h>
#include <userenv.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/command_line.h"

namespace {

template <class Function>
Function bound(const wchar_t* dll, const char* name) {
  const HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module == nullptr
             ? nullptr
             : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const wchar_t* wide(const tessarin::WideBuffer& text) {
  return reinterpret_cast<const wchar_t*>(text.data());
}

bool create(const std::vector<std::string>& fields) {
  static const auto create_profile =
      bound<decltype(&CreateAppContainerProfile)>(L"userenv.dll", "CreateAppContainerProfile");
  static const auto free_sid = bound<decltype(&FreeSid)>(L"advapi32.dll", "FreeSid");
  if (create_profile == nullptr || free_sid == nullptr) return false;
  PSID sid = nullptr;
  create_profile(wide(tessarin::to_wide_nul(fields[1])), wide(tessarin::to_wide_nul(fields[2])),
                 wide(tessarin::to_wide_nul(fields[3])), nullptr, 0, &sid);
  if (sid != nullptr) free_sid(sid);
  return true;
}

bool derive(const std::string& name) {
  static const auto derive_sid = bound<decltype(&DeriveAppContainerSidFromAppContainerName)>(
      L"userenv.dll", "DeriveAppContainerSidFromAppContainerName");
  static const auto to_text =
      bound<decltype(&ConvertSidToStringSidW)>(L"advapi32.dll", "ConvertSidToStringSidW");
  static const auto free_sid = bound<decltype(&FreeSid)>(L"advapi32.dll", "FreeSid");
  if (derive_sid == nullptr || to_text == nullptr || free_sid == nullptr) return false;
  PSID sid = nullptr;
  derive_sid(wide(tessarin::to_wide_nul(name)), &sid);
  if (sid == nullptr) return true;
  wchar_t* text = nullptr;
  if (to_text(sid, &text)) LocalFree(text);
  free_sid(sid);
  return true;
}

bool folder(const std::string& sid) {
  static const auto folder_path =
      bound<decltype(&GetAppContainerFolderPath)>(L"userenv.dll", "GetAppContainerFolderPath");
  static const auto free = bound<decltype(&CoTaskMemFree)>(L"ole32.dll", "CoTaskMemFree");
  if (folder_path == nullptr || free == nullptr) return false;
  wchar_t* path = nullptr;
  folder_path(wide(tessarin::to_wide_nul(sid)), &path);
  free(path);
  return true;
}

bool start_and_wait(const std::vector<std::string>& fields) {
  if (fields.size() < 3) return false;
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
    return false;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

}  // namespace

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
    const std::string& kind = fields[0];
    const bool done = kind == "create" && fields.size() == 4   ? create(fields)
                      : kind == "derive" && fields.size() == 2 ? derive(fields[1])
                      : kind == "folder" && fields.size() == 2 ? folder(fields[1])
                                                               : start_and_wait(fields);
    if (!done) return 1;
  }
  return 0;
}
