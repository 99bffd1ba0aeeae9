// Stand-in for icacls.exe in the Wine tests: Wine has no access control lists
// worth the name, so this program records what it is asked to do instead of
// doing it. It keeps every file in the directory that STAND_IN_STATE_DIR
// names (see program_support.h), so each test has its own.
//
// Understood command lines (anything else exits 87 with "Invalid parameter"):
//   icacls.exe <path> /grant *<SID>:<permission> /T /C /Q
//   icacls.exe <path> /remove:g *<SID> /T /C /Q
// A path that does not exist fails with exit code 2, as the real tool does.
//
// Files in that directory:
//   icacls-calls.jsonl   written: per call, a line when it starts,
//                          {"event":"start","pid":N,"time_us":T,"args":["<path>",...]}
//                        and a line when it ends,
//                          {"event":"end","pid":N,"time_us":T,"exit":C}
//                        T is microseconds since 1970-01-01 UTC. A call killed
//                        midway has no end line.
//   icacls-ledger.jsonl  written: the access entries in force, one
//                          ["<path>","*<SID>","<permission>"] per line. A
//                        successful grant adds one; a successful /remove:g
//                        removes every entry of that trustee on that path.
//   icacls-leases.jsonl  written when the control file says snapshot-leases:
//                        at the first grant (while the file does not exist),
//                        each %LOCALAPPDATA%\Tessarin\sandbox\acl-leases\*.json,
//                          {"name":"<file name>","content":"<file text>"}
//                        (an empty file when there were none).
//   icacls-control.txt   read, optional: one directive per line, fields
//                        separated by one tab; empty lines and lines starting
//                        with # are ignored:
//     fail<TAB><path><TAB><exit code><TAB><stderr text>
//         every call whose first argument is exactly <path> writes <stderr
//         text> to standard error and exits with <exit code>, changing no
//         entry. fail-grant and fail-revoke do the same for one direction.
//         The text understands \r \n \t \\ and \xHH (any byte).
//     fail-call<TAB><n><TAB><exit code><TAB><stderr text>
//         the same for the n-th call that icacls-calls.jsonl records (from 1)
//     sleep-ms<TAB><milliseconds>   every call sleeps this long after logging
//                                   its start and before doing anything else
//     stdout-mib<TAB><N>            every call writes N MiB to standard output
//     stderr-kib<TAB><N>            every call writes N KiB of "e" to standard
//                                   error before its standard output
//     snapshot-leases               see icacls-leases.jsonl

#include <windows.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "support/program_support.h"

namespace {

using program_support::exists;
using program_support::read_file;
using program_support::split;
using program_support::stand_in_file;
using program_support::Write;
using program_support::write_file;
using program_support::write_stream;

using tessarin::win32::wide;

constexpr const wchar_t* kFilesLock = L"Local\\Tessarin.Test.IcaclsStandIn";

std::string json_string(const std::string& text) {
  std::string out;
  tessarin::append_json_string(out, tessarin::utf8_lossy(text));
  return out;
}

std::string json_array(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ",";
    out += json_string(items[i]);
  }
  return out + "]";
}

std::uint64_t now_us() {
  FILETIME ft{};
  GetSystemTimePreciseAsFileTime(&ft);
  const std::uint64_t ticks = (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
  return (ticks - 116444736000000000ull) / 10;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    const char c = text[++i];
    if (c == 'r') {
      out.push_back('\r');
    } else if (c == 'n') {
      out.push_back('\n');
    } else if (c == 't') {
      out.push_back('\t');
    } else if (c == 'x' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

struct Failure {
  std::string direction;  // "", "grant" or "revoke"
  std::string path;
  std::uint64_t call = 0;  // when not 0, the call's number instead of its path
  DWORD exit_code = 1;
  std::string standard_error;
};

struct Control {
  std::vector<Failure> failures;
  DWORD sleep_ms = 0;
  std::uint64_t stdout_mib = 0;
  std::uint64_t stderr_kib = 0;
  bool snapshot_leases = false;
};

Control read_control(const std::string& path) {
  Control control;
  const auto bytes = read_file(path);
  if (!bytes) return control;
  for (const std::string& line : program_support::lines(*bytes)) {
    if (line.empty() || line[0] == '#') continue;
    const auto fields = split(line, '\t');
    const std::string& key = fields[0];
    if ((key == "fail" || key == "fail-grant" || key == "fail-revoke" || key == "fail-call") &&
        fields.size() >= 3) {
      Failure failure;
      failure.direction = key == "fail" || key == "fail-call" ? "" : key.substr(5);
      if (key == "fail-call") {
        failure.call = std::stoull(fields[1]);
      } else {
        failure.path = fields[1];
      }
      failure.exit_code = static_cast<DWORD>(std::stoul(fields[2]));
      if (fields.size() >= 4) failure.standard_error = unescape(fields[3]);
      control.failures.push_back(std::move(failure));
    } else if (key == "sleep-ms" && fields.size() >= 2) {
      control.sleep_ms = static_cast<DWORD>(std::stoul(fields[1]));
    } else if (key == "stdout-mib" && fields.size() >= 2) {
      control.stdout_mib = std::stoull(fields[1]);
    } else if (key == "stderr-kib" && fields.size() >= 2) {
      control.stderr_kib = std::stoull(fields[1]);
    } else if (key == "snapshot-leases") {
      control.snapshot_leases = true;
    }
  }
  return control;
}

std::string lease_directory() {
  std::u16string value(32768, u'\0');
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", reinterpret_cast<wchar_t*>(value.data()),
                                          static_cast<DWORD>(value.size()));
  value.resize(n);
  return tessarin::join_path(
      tessarin::join_path(tessarin::join_path(tessarin::utf16_to_utf8_lossy(value), "Tessarin"),
                          "sandbox"),
      "acl-leases");
}

void snapshot_leases(const std::string& target) {
  const std::string directory = lease_directory();
  std::string lines;
  WIN32_FIND_DATAW data{};
  const tessarin::win32::UniqueFind find(FindFirstFileW(
      wide(tessarin::utf8_to_utf16(tessarin::join_path(directory, "*.json"))), &data));
  if (find) {
    do {
      const std::string name =
          tessarin::utf16_to_utf8_lossy(reinterpret_cast<const char16_t*>(data.cFileName));
      const std::string content =
          read_file(tessarin::join_path(directory, name)).value_or(std::string());
      lines += "{\"name\":" + json_string(name) + ",\"content\":" + json_string(content) + "}\n";
    } while (FindNextFileW(find.get(), &data));
  }
  write_file(target, lines, Write::Replace);
}

struct Entry {
  std::string path, trustee, permission;
};

std::vector<Entry> read_ledger(const std::string& path) {
  std::vector<Entry> entries;
  for (const std::string& line : split(read_file(path).value_or(std::string()), '\n')) {
    if (line.empty()) continue;
    const auto parsed = nlohmann::json::parse(line, nullptr, false);
    if (!parsed.is_array() || parsed.size() != 3) continue;
    entries.push_back(Entry{parsed[0].get<std::string>(), parsed[1].get<std::string>(),
                            parsed[2].get<std::string>()});
  }
  return entries;
}

void write_ledger(const std::string& path, const std::vector<Entry>& entries) {
  std::string lines;
  for (const auto& e : entries) lines += json_array({e.path, e.trustee, e.permission}) + "\n";
  write_file(path, lines, Write::Replace);
}

}  // namespace

int main() {
  std::vector<std::string> args = program_support::lossy_arguments();
  if (!args.empty()) args.erase(args.begin());

  const std::string calls = stand_in_file("icacls-calls.jsonl");
  const std::string ledger = stand_in_file("icacls-ledger.jsonl");
  const std::string snapshot = stand_in_file("icacls-leases.jsonl");
  const Control control = read_control(stand_in_file("icacls-control.txt"));
  const std::string pid = std::to_string(GetCurrentProcessId());

  std::uint64_t number = 1;
  {
    const program_support::FilesLock lock(kFilesLock);
    for (const std::string& line : split(read_file(calls).value_or(std::string()), '\n')) {
      number += line.starts_with("{\"event\":\"start\"") ? 1 : 0;
    }
    write_file(calls,
               "{\"event\":\"start\",\"pid\":" + pid + ",\"time_us\":" + std::to_string(now_us()) +
                   ",\"args\":" + json_array(args) + "}\n",
               Write::Append);
  }
  const auto finish = [&](DWORD code) {
    const program_support::FilesLock lock(kFilesLock);
    write_file(calls,
               "{\"event\":\"end\",\"pid\":" + pid + ",\"time_us\":" + std::to_string(now_us()) +
                   ",\"exit\":" + std::to_string(code) + "}\n",
               Write::Append);
    return static_cast<int>(code);
  };

  const bool grant = args.size() == 6 && args[1] == "/grant" && args[2].size() > 1 &&
                     args[2][0] == '*' && args[2].find(':') != std::string::npos;
  const bool revoke = args.size() == 6 && args[1] == "/remove:g" && args[2].size() > 1 &&
                      args[2][0] == '*' && args[2].find(':') == std::string::npos;
  const bool switches = args.size() == 6 && args[3] == "/T" && args[4] == "/C" && args[5] == "/Q";
  if (!(grant || revoke) || !switches) {
    write_stream(STD_ERROR_HANDLE,
                 "Invalid parameter \"" + (args.empty() ? "" : args[0]) + "\"\r\n");
    return finish(87);
  }
  const std::string& path = args[0];

  if (grant && control.snapshot_leases) {
    const program_support::FilesLock lock(kFilesLock);
    if (!exists(snapshot)) {
      snapshot_leases(snapshot);
    }
  }
  if (control.sleep_ms != 0) Sleep(control.sleep_ms);
  if (control.stderr_kib != 0) {
    write_stream(STD_ERROR_HANDLE, std::string(control.stderr_kib * 1024, 'e'));
  }
  if (control.stdout_mib != 0) {
    const std::string mib(1 << 20, 'o');
    for (std::uint64_t i = 0; i < control.stdout_mib; ++i) {
      if (!write_stream(STD_OUTPUT_HANDLE, mib)) break;
    }
  }

  for (const auto& failure : control.failures) {
    if (failure.call != 0 ? failure.call != number : failure.path != path) continue;
    if (!failure.direction.empty() && failure.direction != (grant ? "grant" : "revoke")) continue;
    write_stream(STD_ERROR_HANDLE, failure.standard_error);
    write_stream(STD_OUTPUT_HANDLE,
                 "Successfully processed 0 files; Failed processing 1 files\r\n");
    return finish(failure.exit_code);
  }
  if (!exists(path)) {
    write_stream(STD_ERROR_HANDLE, path + ": The system cannot find the file specified.\r\n");
    write_stream(STD_OUTPUT_HANDLE,
                 "Successfully processed 0 files; Failed processing 1 files\r\n");
    return finish(2);
  }

  {
    const program_support::FilesLock lock(kFilesLock);
    std::vector<Entry> entries = read_ledger(ledger);
    if (grant) {
      const std::size_t colon = args[2].find(':');
      entries.push_back(Entry{path, args[2].substr(0, colon), args[2].substr(colon + 1)});
    } else {
      std::erase_if(entries,
                    [&](const Entry& e) { return e.path == path && e.trustee == args[2]; });
    }
    write_ledger(ledger, entries);
  }
  write_stream(STD_OUTPUT_HANDLE, "Successfully processed 1 files; Failed processing 0 files\r\n");
  return finish(0);
}
