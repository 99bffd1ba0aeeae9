// Checks that command lines made by build_command_line are split back into
// the same elements by a real child: for a fixed corpus of argument lists it
// starts argv_echo.exe (from this program's directory) with CreateProcessW
// and compares what both of the child's parsers saw with what was sent.
//
//   command_line_round_trip.exe [random lists] [seed] [echo program]
//
// The echo program defaults to argv_echo.exe beside this one; a copy in a
// directory whose name has blanks checks how the program name is read back.
//
// Prints one summary line; every failed list is described on standard
// output. A mismatch (a list that fails again when repeated) makes the exit
// code 1.

#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/command_line.h"
#include "support/program_support.h"

using tessarin::win32::UniqueHandle;

namespace {

// A small generator of our own, so that a seed gives the same corpus with
// every compiler and standard library.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }

 private:
  std::uint64_t state_;
};

using List = std::vector<std::string>;

constexpr std::size_t kWorkers = 4;

// Characters beyond ASCII, including blanks that must not cause splitting and
// characters outside the Basic Multilingual Plane (surrogate pairs).
const char* const kNonAscii[] = {
    "\xC3\xA9",          // e acute
    "\xC3\x9F",          // sharp s
    "\xCE\xA9",          // omega
    "\xD0\x96",          // zhe
    "\xE4\xB8\xAD",      // CJK
    "\xC2\xA0",          // no-break space
    "\xE3\x80\x80",      // ideographic space
    "\xE2\x80\xAF",      // narrow no-break space
    "\xEF\xBC\x82",      // fullwidth quotation mark
    "\xF0\x9F\x98\x80",  // U+1F600
    "\xF0\x9D\x84\x9E",  // U+1D11E
    "\xF4\x8F\xBF\xBD",  // U+10FFFD
};

std::string random_element(SplitMix64& rng) {
  std::string element;
  const std::size_t pieces = rng.below(8);  // 0 gives an empty element
  for (std::size_t p = 0; p < pieces; ++p) {
    switch (rng.below(10)) {
      case 0:
      case 1: {
        const std::size_t letters = 1 + rng.below(4);
        for (std::size_t k = 0; k < letters; ++k) {
          element.push_back(static_cast<char>((rng.below(2) ? 'a' : 'A') + rng.below(26)));
        }
        break;
      }
      case 2:
        element.push_back(' ');
        break;
      case 3:
        element.push_back('\t');
        break;
      case 4:
        element.push_back('"');
        break;
      case 5:
      case 6:
        element.append(1 + rng.below(5), '\\');
        break;
      case 7:
        element.push_back('\n');
        break;
      default:
        element += kNonAscii[rng.below(std::size(kNonAscii))];
        break;
    }
  }
  // Backslashes at the end meet the closing quotation mark: make them common.
  if (rng.below(4) == 0) element.append(1 + rng.below(4), '\\');
  return element;
}

// The cases that are easiest to get wrong, always part of the corpus.
std::vector<List> fixed_lists() {
  return {
      {},
      {""},
      {"", ""},
      {"a b"},
      {"a", "b c", "d"},
      {"C:\\dir\\"},
      {"C:\\with blank\\"},
      {"a\"b"},
      {"a\\\\\"b"},
      {"\\\\server\\share\\", "\\"},
      {"\\\"", "\"\\", "\"\""},
      {"\"", "\"\"\"", " ", "\t"},
      {"x\ny", "\n"},
      {"--cwd", "--", "&|^%<>"},
      {"\xF0\x9F\x98\x80 \xC3\xA9\\", "\xE3\x80\x80"},
  };
}

std::u16string units_of(const std::string& text) {
  return tessarin::utf8_to_utf16(text);
}

std::string printable(const std::u16string& text) {
  std::string out = "\"";
  for (const char16_t unit : text) {
    if (unit == u'"' || unit == u'\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(unit));
    } else if (unit >= 0x20 && unit < 0x7F) {
      out.push_back(static_cast<char>(unit));
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit));
      out += escape;
    }
  }
  return out + "\"";
}

// One line of argv_echo's output, back into elements; nullopt if malformed.
std::optional<std::vector<std::u16string>> parse_echo_line(const std::string& line,
                                                           const std::string& parser) {
  if (line.compare(0, parser.size() + 1, parser + " ") != 0) return std::nullopt;
  std::size_t pos = parser.size() + 1;
  const auto next_token = [&]() -> std::string {
    const std::size_t end = line.find(' ', pos);
    std::string token = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? line.size() : end + 1;
    return token;
  };
  const std::size_t count = std::strtoul(next_token().c_str(), nullptr, 10);
  std::vector<std::u16string> elements;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string token = next_token();
    const std::size_t colon = token.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::size_t length = std::strtoul(token.substr(0, colon).c_str(), nullptr, 10);
    if (token.size() != colon + 1 + 4 * length) return std::nullopt;
    std::u16string element;
    for (std::size_t k = 0; k < length; ++k) {
      element.push_back(static_cast<char16_t>(
          std::strtoul(token.substr(colon + 1 + 4 * k, 4).c_str(), nullptr, 16)));
    }
    elements.push_back(std::move(element));
  }
  if (pos != line.size()) return std::nullopt;
  return elements;
}

struct Echo {
  std::string failure;  // why the child could not be started, if it was not
  DWORD exit_code = 0;
  std::string output;
};

// Children are started one at a time, so that none inherits the pipe of
// another and holds it open; they run and are read concurrently.
std::mutex start_lock;

Echo run_echo(tessarin::WideBuffer line) {
  Echo echo;
  UniqueHandle read_end, write_end, process, thread;
  {
    const std::lock_guard<std::mutex> starting(start_lock);
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!CreatePipe(read_end.put(), write_end.put(), &inheritable, 0)) {
      echo.failure = "CreatePipe failed: " + std::to_string(GetLastError());
      return echo;
    }
    // Only the child's end is inherited, so the read ends when the child does.
    SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end.get();
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, tessarin::win32::wide(line), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &info)) {
      echo.failure = "CreateProcessW failed: " + std::to_string(GetLastError());
      return echo;
    }
    process.reset(info.hProcess);
    thread.reset(info.hThread);
    write_end.reset();
  }

  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    echo.output.append(buffer, got);
  }
  WaitForSingleObject(process.get(), INFINITE);
  GetExitCodeProcess(process.get(), &echo.exit_code);
  return echo;
}

// Compares what one parser saw with what was sent; describes the first
// difference.
std::string compare(const std::string& parser,
                    const std::optional<std::vector<std::u16string>>& got,
                    const std::u16string& program, const std::vector<std::u16string>& sent) {
  if (!got) return parser + ": unreadable output";
  if (got->size() != sent.size() + 1) {
    std::string text = parser + ": " + std::to_string(got->size()) + " elements came back:";
    for (const auto& element : *got) {
      text += ' ';
      text += printable(element);
    }
    return text;
  }
  if ((*got)[0] != program) return parser + ": program name came back as " + printable((*got)[0]);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if ((*got)[i + 1] != sent[i]) {
      return parser + ": element " + std::to_string(i + 1) + " came back as " +
             printable((*got)[i + 1]);
    }
  }
  return {};
}

// What went wrong with one list, or nothing.
std::string check(const Echo& echo, const std::u16string& program,
                  const std::vector<std::u16string>& sent) {
  if (!echo.failure.empty()) return echo.failure;
  const std::size_t newline = echo.output.find('\n');
  const std::string first = echo.output.substr(0, newline);
  const std::string second =
      newline == std::string::npos ? std::string() : echo.output.substr(newline + 1);
  if (echo.exit_code != 0 || second.empty() || second.back() != '\n') {
    return "echo exited " + std::to_string(echo.exit_code) + " with output " +
           printable(units_of(tessarin::utf8_lossy(echo.output)));
  }
  std::string problem = compare("crt", parse_echo_line(first, "crt"), program, sent);
  const std::string shell = compare(
      "shell", parse_echo_line(second.substr(0, second.size() - 1), "shell"), program, sent);
  if (!shell.empty()) {
    if (!problem.empty()) problem += "; ";
    problem += shell;
  }
  return problem;
}

// Lines of the characters that matter to splitting, in any order: odd and
// doubled quotes, backslash runs, blanks at either end.
std::u16string random_raw_line(SplitMix64& rng) {
  static const char16_t kUnits[] = {u'a', u' ', u'\t', u'"', u'"', u'\\', u'\\', u'\n', 0x3000};
  std::u16string line;
  for (std::size_t n = rng.below(20); n > 0; --n)
    line.push_back(kUnits[rng.below(std::size(kUnits))]);
  return line;
}

// Differences between the helper's splitting and CommandLineToArgvW's, each
// described on standard output. (CommandLineToArgvW reads an empty line as the
// program's own path, which the helper never looks at.)
std::size_t split_mismatches(const std::vector<std::u16string>& lines) {
  std::size_t mismatches = 0;
  for (const std::u16string& line : lines) {
    if (line.empty()) continue;
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(reinterpret_cast<const wchar_t*>(line.c_str()), &count);
    if (argv == nullptr) continue;
    const tessarin::win32::UniqueLocal owner(argv);
    std::vector<std::u16string> expected;
    for (int i = 0; i < count; ++i) {
      expected.emplace_back(reinterpret_cast<const char16_t*>(argv[i]), std::wcslen(argv[i]));
    }
    const auto got = tessarin::split_command_line(line);
    if (got == expected) continue;
    std::string shown;
    for (const auto& element : got) shown += ' ' + printable(element);
    std::printf("SPLIT MISMATCH: command line %s\n  split as%s\n", printable(line).c_str(),
                shown.c_str());
    ++mismatches;
  }
  return mismatches;
}

}  // namespace

int main() {
  const auto args = program_support::arguments();
  if (!args) return 2;
  const std::size_t argc = args->size();
  const std::size_t random_lists = argc > 1 ? std::strtoul((*args)[1].c_str(), nullptr, 10) : 1000;
  const std::uint64_t seed = argc > 2 ? std::strtoull((*args)[2].c_str(), nullptr, 10) : 20240229;
  const std::string program_utf8 =
      argc > 3 ? (*args)[3] : program_support::beside_self("argv_echo.exe");

  std::vector<List> corpus = fixed_lists();
  SplitMix64 rng(seed);
  for (std::size_t n = 0; n < random_lists; ++n) {
    List list(rng.below(7));
    for (auto& element : list) element = random_element(rng);
    corpus.push_back(std::move(list));
  }

  const std::u16string program = units_of(program_utf8);

  // Children are started from a few threads at once: most of a start's cost
  // is waiting, and the corpus is large.
  std::vector<tessarin::WideBuffer> lines;
  for (const List& list : corpus) {
    List command = {program_utf8};
    command.insert(command.end(), list.begin(), list.end());
    lines.push_back(tessarin::build_command_line(command));
  }
  std::vector<Echo> echoes(corpus.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> workers;
  for (std::size_t w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&] {
      for (std::size_t n = next++; n < corpus.size(); n = next++) echoes[n] = run_echo(lines[n]);
    });
  }
  for (auto& worker : workers) worker.join();

  std::vector<std::vector<std::u16string>> sent(corpus.size());
  for (std::size_t n = 0; n < corpus.size(); ++n) {
    for (const auto& element : corpus[n]) sent[n].push_back(units_of(element));
  }
  std::vector<std::u16string> split_lines;
  for (const auto& line : lines) split_lines.emplace_back(line.begin(), line.end() - 1);
  for (std::size_t n = 0; n < 20 * random_lists; ++n) split_lines.push_back(random_raw_line(rng));
  std::size_t mismatches = split_mismatches(split_lines), transient = 0;
  for (std::size_t n = 0; n < corpus.size(); ++n) {
    const std::string problem = check(echoes[n], program, sent[n]);
    if (problem.empty()) continue;
    // Quoting is deterministic: a fault of ours fails again when the list is
    // repeated on its own, while a child that Wine failed to start under
    // load does not.
    const std::string again = check(run_echo(lines[n]), program, sent[n]);
    std::string shown;
    for (const auto& element : sent[n]) {
      shown += ' ';
      shown += printable(element);
    }
    const std::u16string line_text(lines[n].begin(), lines[n].end() - 1);
    std::printf("%s list %zu:%s\n  command line %s\n  %s\n",
                again.empty() ? "transient failure (passed when repeated):" : "MISMATCH:", n,
                shown.c_str(), printable(line_text).c_str(), problem.c_str());
    ++(again.empty() ? transient : mismatches);
  }
  std::printf("%zu lists (seed %llu), %zu mismatches, %zu transient failures\n", corpus.size(),
              static_cast<unsigned long long>(seed), mismatches, transient);
  std::fflush(stdout);
  return mismatches == 0 ? 0 : 1;
}
