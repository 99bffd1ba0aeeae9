#include "cli/status_report.h"

#include <gtest/gtest.h>

#include "base/json_text.h"

namespace tessarin {
namespace {

TEST(StatusReport, ReadyLine) {
  EXPECT_EQ(
      serialize_status_report(make_status_report(success())),
      R"({"version":1,"ready":true,"capabilities":{"filesystem_isolation":true,)"
      R"("network_isolation":true,"process_isolation":true},"warning":null,"remediation":null})");
}

TEST(StatusReport, NotReadyCarriesTheMessageAndTheFixedRemediation) {
  const StatusReport report = make_status_report(fail("administrator initialization is required"));
  EXPECT_EQ(
      serialize_status_report(report),
      R"({"version":1,"ready":false,"capabilities":{"filesystem_isolation":false,)"
      R"("network_isolation":false,"process_isolation":true},)"
      R"("warning":"administrator initialization is required",)"
      R"("remediation":"Open an elevated terminal and run: tessarin-sandbox.exe setup --json"})");
}

TEST(JsonText, EscapesExactlyTheDocumentedCharacters) {
  std::string out;
  append_json_string(out, "q\" b\\ \b\t\n\f\r \x01\x1f / \x7f \xc3\xa9 \xf0\x9f\x98\x80");
  EXPECT_EQ(out, "\"q\\\" b\\\\ \\b\\t\\n\\f\\r \\u0001\\u001f / \x7f \xc3\xa9 \xf0\x9f\x98\x80\"");
  std::string nul;
  append_json_string(nul, std::string_view("\0", 1));
  EXPECT_EQ(nul, "\"\\u0000\"");
}

}  // namespace
}  // namespace tessarin
