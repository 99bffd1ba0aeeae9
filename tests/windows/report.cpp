// The suite's text helpers and its report.

#include "suite.h"

#include <sddl.h>

#include <cmath>
#include <cstdio>

namespace acceptance {

// ---- text --------------------------------------------------------------------

std::string u8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}
std::wstring w(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}
std::string sid_text(PSID sid) {
  Local<wchar_t*> text;
  return sid && ConvertSidToStringSidW(sid, &text.p) ? u8(text.p) : "?";
}
double round3(double seconds) {
  return static_cast<double>(std::llround(seconds * 1000)) / 1000;
}

Suite g_suite;

// ---- the report ----------------------------------------------------------------

bool record(const Check& c) {
  g_suite.checks.push_back({{"check", c.name},
                            {"promise", c.promise},
                            {"result", c.pass ? "pass" : "FAIL"},
                            {"detail", c.detail},
                            {"helper should", c.pass ? "" : c.advice}});
  if (c.pass) {
    std::printf("PASS  %s\n", c.name.c_str());
  } else {
    ++g_suite.failures;
    std::printf(
        "FAIL  %s\n      broken promise: %s\n      observed: %s\n      the helper should: %s\n",
        c.name.c_str(), c.promise.c_str(), c.detail.c_str(), c.advice.c_str());
  }
  std::fflush(stdout);
  return c.pass;
}
void skip(const std::string& name, const std::string& reason) {
  g_suite.checks.push_back({{"check", name}, {"result", "skip"}, {"detail", reason}});
  std::printf("SKIP  %s: %s\n", name.c_str(), reason.c_str());
}

}  // namespace acceptance
