#include "provision/powershell.h"

#include <cstdint>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "platform/tool_search.h"

namespace tessarin {
namespace {

std::string exit_code_text(std::uint32_t code) {
  // NTSTATUS-like codes (a crash, a kill) read better in hexadecimal.
  if ((code & 0x80000000u) != 0) return "0x" + hex8(code);
  return decimal(code);
}

// PowerShell ends a single-quoted literal at any of these, not only at the
// apostrophe; each must be doubled, or a text holding one would end the
// literal early and the rest would run as script.
bool is_single_quote(char32_t c) {
  return c == U'\'' || c == U'\u2018' || c == U'\u2019' || c == U'\u201A' || c == U'\u201B';
}

}  // namespace

Status run_powershell(ToolRunner& tools, Environment& env, const std::string& script) {
  const std::vector<std::string> arguments = {"-NoLogo", "-NoProfile", "-NonInteractive",
                                              "-Command", script};
  // The firewall cmdlets load their module on first use, from the first
  // directory of PSModulePath that has one of that name; the inherited value
  // starts with the user's own module folder, where anything may have been
  // put. -NoProfile does not stop that loading, so only the system's own
  // modules are offered, also to the elevated setup.
  const std::vector<VariableOverride> modules = {
      {"PSModulePath", join_path(powershell_home(env), "Modules")}};
  auto exit_code = tools.run_inheriting("powershell.exe", arguments, modules);
  if (!exit_code) return fail("failed to start PowerShell: " + exit_code.error().text);
  if (*exit_code != 0)
    return fail("PowerShell exited with exit code: " + exit_code_text(*exit_code));
  return success();
}

std::string powershell_quote(std::string_view text) {
  std::string out = "'";
  std::size_t i = 0;
  while (i < text.size()) {
    // The typographic quotes are three bytes in UTF-8 (E2 80 98..9B).
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    char32_t c = byte;
    if (byte == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80) {
      const auto last = static_cast<unsigned char>(text[i + 2]);
      if (last >= 0x98 && last <= 0x9B) {
        c = U'\u2018' + (last - 0x98);
        length = 3;
      }
    }
    const std::string_view unit = text.substr(i, length);
    out += unit;
    if (is_single_quote(c)) out += unit;
    i += length;
  }
  out += '\'';
  return out;
}

}  // namespace tessarin
