// A stand-in for Windows PowerShell and its firewall cmdlets, for the Wine
// tests only. It knows exactly the two script shapes the helper runs, the
// rule creation and the rule check, and simulates the firewall's rules in a
// file. Its files, all in the directory that STAND_IN_STATE_DIR names (see
// program_support.h):
//
//   firewall-rules.json     {"rules":[{"name","display_name","group",
//                           "direction","action","enabled","profile",
//                           "local_user"}]}; tests edit it to disable or
//                           delete a rule
//   powershell-control.txt  directives, one a line, fields separated by one
//                           tab as in the icacls stand-in's (a rule name has
//                           spaces): exit<TAB>CODE, every call exits with CODE
//                           and changes nothing (1 for a non-elevated
//                           terminal); exit-call<TAB>N<TAB>CODE, the same for
//                           the N-th call only (from 1); disable<TAB>RULE, the
//                           check sees that rule as disabled; sleep-ms<TAB>N,
//                           every call sleeps N ms once it has counted itself,
//                           so that a test can end its caller while it runs
//   powershell-count.txt    one line per call started so far
//   calls.log               one JSON object per call: the raw command line,
//                           the argument vector, the script kind, the exit
//                           code, PSModulePath as the call found it (null
//                           when unset) and how many processes share its
//                           console (0: it has none); shared with the other
//                           stand-ins
//
// It writes nothing to standard output, like the real scripts on success.
// A script of any other shape is refused with exit code 99, an argument
// vector other than the helper's with 98, an unreadable rule file with 97.

#include <windows.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "support/program_support.h"

using nlohmann::json;
using program_support::stand_in_file;
using program_support::Write;

namespace {

std::optional<std::string> read_file(std::string_view name) {
  return program_support::read_file(stand_in_file(name));
}

void write_file(std::string_view name, const std::string& bytes, Write mode) {
  program_support::write_file(stand_in_file(name), bytes, mode);
}

void complain(const std::string& text) {
  program_support::write_stream(STD_ERROR_HANDLE, "powershell stand-in: " + text + "\n");
}

// Reads the script text step by step; every step must match exactly.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  bool literal(std::string_view expected) {
    if (text_.substr(pos_, expected.size()) != expected) return false;
    pos_ += expected.size();
    return true;
  }
  // A single-quoted PowerShell literal, two apostrophes standing for one.
  std::optional<std::string> quoted() {
    if (!literal("'")) return std::nullopt;
    std::string value;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c != '\'') {
        value.push_back(c);
      } else if (pos_ < text_.size() && text_[pos_] == '\'') {
        value.push_back('\'');
        ++pos_;
      } else {
        return value;
      }
    }
    return std::nullopt;
  }
  std::optional<std::string> word() {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && ((text_[pos_] >= 'A' && text_[pos_] <= 'Z') ||
                                   (text_[pos_] >= 'a' && text_[pos_] <= 'z'))) {
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    return std::string(text_.substr(start, pos_ - start));
  }
  bool at_end() const { return pos_ == text_.size(); }
  bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

struct RuleScript {
  std::string removed;
  json rule;
};

std::optional<RuleScript> parse_rule_script(std::string_view script) {
  Cursor c(script);
  if (!c.literal("$ErrorActionPreference='Stop'; Get-NetFirewallRule -Name ")) return std::nullopt;
  auto removed = c.quoted();
  if (!removed ||
      !c.literal(" -ErrorAction SilentlyContinue | Remove-NetFirewallRule; New-NetFirewallRule "
                 "-Name ")) {
    return std::nullopt;
  }
  auto name = c.quoted();
  if (!name || !c.literal(" -DisplayName ")) return std::nullopt;
  auto display = c.quoted();
  if (!display || !c.literal(" -Group ")) return std::nullopt;
  auto group = c.quoted();
  if (!group || !c.literal(" -Direction ")) return std::nullopt;
  auto direction = c.word();
  if (!direction || (*direction != "Inbound" && *direction != "Outbound")) return std::nullopt;
  if (!c.literal(" -Action Block -Enabled True -Profile Any -LocalUser ")) return std::nullopt;
  auto local_user = c.quoted();
  if (!local_user || !c.literal(" | Out-Null") || !c.at_end()) return std::nullopt;
  return RuleScript{*removed, json{{"name", *name},
                                   {"display_name", *display},
                                   {"group", *group},
                                   {"direction", *direction},
                                   {"action", "Block"},
                                   {"enabled", true},
                                   {"profile", "Any"},
                                   {"local_user", *local_user}}};
}

std::optional<std::vector<std::string>> parse_check_script(std::string_view script) {
  Cursor c(script);
  if (!c.literal("$ErrorActionPreference='Stop'; $missing=@(")) return std::nullopt;
  std::vector<std::string> names;
  if (!c.peek(')')) {
    for (;;) {
      auto name = c.quoted();
      if (!name) return std::nullopt;
      names.push_back(*name);
      if (!c.literal(",")) break;
    }
  }
  if (!c.literal(") | Where-Object { $rule=Get-NetFirewallRule -Name $_ -PolicyStore ActiveStore "
                 "-ErrorAction SilentlyContinue; $null -eq $rule -or $rule.Enabled -ne 'True' }; "
                 "if ($missing.Count -ne 0) { exit 1 }") ||
      !c.at_end()) {
    return std::nullopt;
  }
  return names;
}

std::vector<std::vector<std::string>> directives() {
  std::vector<std::vector<std::string>> out;
  for (const auto& line :
       program_support::lines(read_file("powershell-control.txt").value_or(std::string()))) {
    out.push_back(program_support::split(line, '\t'));
  }
  return out;
}

bool disabled_by_control(const std::string& name) {
  for (const auto& fields : directives()) {
    if (fields == std::vector<std::string>{"disable", name}) return true;
  }
  return false;
}

std::optional<std::uint32_t> forced_exit(std::uint32_t call) {
  for (const auto& fields : directives()) {
    if (fields.size() == 3 && fields[0] == "exit-call") {
      if (std::stoul(fields[1]) == call) return static_cast<std::uint32_t>(std::stoul(fields[2]));
    } else if (fields.size() == 2 && fields[0] == "exit") {
      return static_cast<std::uint32_t>(std::stoul(fields[1]));
    }
  }
  return std::nullopt;
}

// One line appended per call, never rewritten: a call killed while counting
// (the soak ends a helper's job at any instant) leaves the tally whole. Two
// helpers check readiness at once when two runs start together, so the number
// a call takes is read and appended under one lock.
std::uint32_t count_call() {
  const program_support::FilesLock lock(L"Local\\Tessarin.Test.PowerShellStandIn");
  const std::string tally = read_file("powershell-count.txt").value_or(std::string());
  const auto call = static_cast<std::uint32_t>(std::count(tally.begin(), tally.end(), '\n')) + 1;
  write_file("powershell-count.txt", std::string("1\n"), Write::Append);
  return call;
}

std::uint32_t run(std::uint32_t call, const std::vector<std::string>& args, std::string& kind) {
  for (const auto& fields : directives()) {
    if (fields.size() == 2 && fields[0] == "sleep-ms") Sleep(std::stoul(fields[1]));
  }

  const std::vector<std::string> expected_head = {"-NoLogo", "-NoProfile", "-NonInteractive",
                                                  "-Command"};
  if (args.size() != 6 ||
      !std::equal(expected_head.begin(), expected_head.end(), args.begin() + 1)) {
    kind = "bad arguments";
    complain("unexpected argument vector");
    return 98;
  }
  const std::string& script = args[5];
  auto rule_script = parse_rule_script(script);
  auto check_names = rule_script ? std::nullopt : parse_check_script(script);
  kind = rule_script ? "rule" : check_names ? "check" : "unrecognised";
  if (!rule_script && !check_names) {
    complain("unrecognised script: " + script);
    return 99;
  }
  if (const auto code = forced_exit(call)) return *code;

  json store = json{{"rules", json::array()}};
  if (const auto bytes = read_file("firewall-rules.json")) {
    store = json::parse(*bytes, nullptr, false);
    if (store.is_discarded() || !store.contains("rules") || !store["rules"].is_array()) {
      complain("firewall-rules.json is not a rule store");
      return 97;
    }
  }
  json& rules = store["rules"];
  const auto find = [&](const std::string& name) {
    for (std::size_t i = 0; i < rules.size(); ++i) {
      if (rules[i].value("name", "") == name) return static_cast<std::ptrdiff_t>(i);
    }
    return static_cast<std::ptrdiff_t>(-1);
  };

  if (check_names) {
    for (const auto& name : *check_names) {
      const std::ptrdiff_t i = find(name);
      if (i < 0 || rules[static_cast<std::size_t>(i)].value("enabled", false) != true ||
          disabled_by_control(name)) {
        return 1;
      }
    }
    return 0;
  }
  for (std::ptrdiff_t i = find(rule_script->removed); i >= 0; i = find(rule_script->removed)) {
    rules.erase(static_cast<std::size_t>(i));
  }
  if (find(rule_script->rule["name"].get<std::string>()) >= 0) {
    complain("a rule of that name exists already");
    return 1;
  }
  rules.push_back(rule_script->rule);
  write_file("firewall-rules.json", store.dump(2), Write::Replace);
  return 0;
}

// The variable as this process found it, looked up as Windows looks up a
// name: ignoring case, the first match.
json variable(const wchar_t* name) {
  std::u16string value(32768, u'\0');
  const DWORD n = GetEnvironmentVariableW(name, reinterpret_cast<wchar_t*>(value.data()),
                                          static_cast<DWORD>(value.size()));
  if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return nullptr;
  value.resize(n < value.size() ? n : 0);
  return tessarin::utf16_to_utf8_lossy(value);
}

}  // namespace

int main() {
  // First, so that a call that left no count never ran any of this program.
  const std::uint32_t call = count_call();
  const wchar_t* raw = GetCommandLineW();
  const std::vector<std::string> args = program_support::lossy_arguments();

  std::string kind;
  std::uint32_t code = 0;
  try {
    code = run(call, args, kind);
  } catch (const std::exception& e) {
    complain(e.what());
    kind = "failed";
    code = 96;
  }
  const json entry = {
      {"tool", "powershell"},
      {"command_line", tessarin::utf16_to_utf8_lossy(reinterpret_cast<const char16_t*>(raw))},
      {"argv", args},
      {"script", kind},
      {"exit_code", code},
      {"ps_module_path", variable(L"PSModulePath")},
      {"console_processes", [] {
         DWORD list[8];
         return GetConsoleProcessList(list, 8);
       }()}};
  write_file("calls.log", entry.dump() + "\n", Write::Append);
  return static_cast<int>(code);
}
