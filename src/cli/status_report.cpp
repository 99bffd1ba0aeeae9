#include "cli/status_report.h"

#include "base/json_text.h"
#include "base/text.h"

namespace tessarin {

StatusReport make_status_report(const Status& readiness) {
  StatusReport report;
  report.ready = readiness.ok();
  report.capabilities.filesystem_isolation = report.ready;
  report.capabilities.network_isolation = report.ready;
  report.capabilities.process_isolation = true;
  if (!report.ready) {
    report.warning = readiness.error();
    report.remediation = kRemediation;
  }
  return report;
}

namespace {
void append_bool(std::string& out, bool value) {
  out += value ? "true" : "false";
}
void append_optional(std::string& out, const std::optional<std::string>& value) {
  if (value) {
    append_json_string(out, *value);
  } else {
    out += "null";
  }
}
}  // namespace

std::string serialize_status_report(const StatusReport& report) {
  std::string out = "{\"version\":";
  out += decimal(report.version);
  out += ",\"ready\":";
  append_bool(out, report.ready);
  out += ",\"capabilities\":{\"filesystem_isolation\":";
  append_bool(out, report.capabilities.filesystem_isolation);
  out += ",\"network_isolation\":";
  append_bool(out, report.capabilities.network_isolation);
  out += ",\"process_isolation\":";
  append_bool(out, report.capabilities.process_isolation);
  out += "},\"warning\":";
  append_optional(out, report.warning);
  out += ",\"remediation\":";
  append_optional(out, report.remediation);
  out += '}';
  return out;
}

}  // namespace tessarin
