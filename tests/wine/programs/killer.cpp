// Ends processes the way a calling tool's forced kill does (TerminateProcess,
// no chance to clean up), for the soak. It lives for a whole soak and takes
// one request per line on standard input, fields separated by a tab, so that
// a kill lands milliseconds, not a Wine start-up, after it is asked for:
//
//   kill<TAB><image path><TAB><delay ms>
//       waits for a process started from <image path>, sleeps <delay ms>
//       after it first saw it, ends it and answers "killed <pid>", or
//       "exited <pid>" when it had ended by itself by then
//   watch<TAB><image path>
//       waits for such a process and for its end; answers
//       "lifetime <ms> <pid>"
//   alive<TAB><pid><TAB><image name>
//       answers "alive" while a process <pid> started from a file named
//       <image name> runs, else "gone"
//
// kill and watch answer "none" when no such process appears within two
// minutes.

#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "support/program_support.h"

namespace {

using tessarin::win32::UniqueHandle;

std::wstring lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
  return text;
}

// The first process started from `image`, opened to be waited for and ended.
UniqueHandle find(const std::wstring& image, DWORD& pid) {
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  const std::wstring wanted = lower(image);
  const std::wstring name = wanted.substr(wanted.find_last_of(L'\\') + 1);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (lower(entry.szExeFile) != name) continue;
    UniqueHandle process(
        OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                    entry.th32ProcessID));
    wchar_t path[MAX_PATH * 4];
    DWORD size = static_cast<DWORD>(std::size(path));
    if (process && QueryFullProcessImageNameW(process.get(), 0, path, &size) &&
        lower(std::wstring(path, size)) == wanted) {
      pid = entry.th32ProcessID;
      return process;
    }
  }
  return UniqueHandle();
}

UniqueHandle wait_for(const std::wstring& image, DWORD& pid) {
  for (int i = 0; i < 60000; ++i) {
    if (auto process = find(image, pid)) return process;
    Sleep(2);
  }
  return UniqueHandle();
}

void answer(const std::string& text) {
  program_support::print(text + "\n");
}

// The image name as well as the number: a number freed by a killed tool may
// already belong to another process.
bool is_alive(DWORD pid, const std::wstring& image_name) {
  const UniqueHandle process(
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  wchar_t path[MAX_PATH * 4];
  DWORD size = static_cast<DWORD>(std::size(path));
  if (!process || WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT ||
      !QueryFullProcessImageNameW(process.get(), 0, path, &size)) {
    return false;
  }
  const std::wstring full = lower(std::wstring(path, size));
  return full.substr(full.find_last_of(L'\\') + 1) == lower(image_name);
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto fields = program_support::split(line, '\t');
    if (fields.size() < 2) {
      answer("bad request");
      continue;
    }
    if (fields[0] == "alive" && fields.size() == 3) {
      const std::u16string name16 = tessarin::utf8_to_utf16(fields[2]);
      const bool alive = is_alive(static_cast<DWORD>(std::stoul(fields[1])),
                                  std::wstring(name16.begin(), name16.end()));
      answer(alive ? "alive" : "gone");
      continue;
    }
    const std::u16string image16 = tessarin::utf8_to_utf16(fields[1]);
    const std::wstring image(image16.begin(), image16.end());
    DWORD pid = 0;
    const UniqueHandle process = wait_for(image, pid);
    if (!process) {
      answer("none");
      continue;
    }
    if (fields[0] == "kill" && fields.size() == 3) {
      const ULONGLONG seen = GetTickCount64();
      const ULONGLONG delay = std::stoull(fields[2]);
      while (GetTickCount64() - seen < delay &&
             WaitForSingleObject(process.get(), 1) == WAIT_TIMEOUT) {
      }
      const bool alive = WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
      if (alive) TerminateProcess(process.get(), 1);
      WaitForSingleObject(process.get(), INFINITE);
      answer((alive ? "killed " : "exited ") + std::to_string(pid));
    } else if (fields[0] == "watch") {
      const ULONGLONG seen = GetTickCount64();
      WaitForSingleObject(process.get(), INFINITE);
      answer("lifetime " + std::to_string(GetTickCount64() - seen) + " " + std::to_string(pid));
    } else {
      answer("bad request");
    }
  }
  return 0;
}
