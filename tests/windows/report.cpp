// The suite's text helpers and its report.

#include "suite.h"

#include <sddl.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

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
  write_report();
  return c.pass;
}
void skip(const std::string& name, const std::string& reason) {
  g_suite.checks.push_back({{"check", name}, {"result", "skip"}, {"detail", reason}});
  std::printf("SKIP  %s: %s\n", name.c_str(), reason.c_str());
  write_report();
}

// Written again after every check and measurement, so that a time-out, a
// cancel or a crash leaves everything taken so far; "exit code" stays
// "running" until the end. Every measurement and question is listed, taken or
// "not run".
void write_report(std::optional<int> code) {
  if (g_suite.path.empty()) return;
  json& questions = g_suite.report["design questions"] = json::array();
  for (const Question& q : kQuestions) {
    json item = {{"question", q.question}, {"figures", json::array()}};
    for (const Row row : q.figures) item["figures"].push_back(kMeasurements[row].name);
    const auto found = g_suite.answered.find(q.question);
    item.update(found != g_suite.answered.end() ? found->second : json{{"answer", "not run"}});
    questions.push_back(item);
  }
  json& measurements = g_suite.report["measurements"] = json::array();
  for (const Measurement& m : kMeasurements) {
    const auto found = g_suite.measured.find(m.name);
    measurements.push_back(found != g_suite.measured.end()
                               ? found->second
                               : json{{"measurement", m.name}, {"status", "not run"}});
  }
  g_suite.report["checks"] = g_suite.checks;
  g_suite.report["failures"] = g_suite.failures;
  g_suite.report["exit code"] = code ? json(*code) : json("running");
  const std::wstring partial = g_suite.path + L".partial";
  std::ofstream(std::filesystem::path(partial), std::ios::binary)
      << g_suite.report.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
  MoveFileExW(partial.c_str(), g_suite.path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// --require-decisive: a green run must settle every question on complete
// figures; what does not is named here and turns the exit code to 1.
std::vector<std::string> undecided() {
  std::vector<std::string> open;
  for (const Measurement& m : kMeasurements) {
    const auto found = g_suite.measured.find(m.name);
    const std::string status =
        found == g_suite.measured.end() ? "not run" : found->second.value("status", "?");
    if (status != "measured") open.push_back("figure \"" + std::string(m.name) + "\": " + status);
  }
  for (const Question& q : kQuestions) {
    const auto found = g_suite.answered.find(q.question);
    const std::string answer =
        found == g_suite.answered.end() ? "not run" : found->second.value("answer", "?");
    if (answer == "not run" || answer.rfind("Not settled", 0) == 0) {
      open.push_back("question \"" + std::string(q.question) + "\": " + answer);
    }
  }
  return open;
}

}  // namespace acceptance
