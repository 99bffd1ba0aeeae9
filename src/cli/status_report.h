#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/result.h"

namespace tessarin {

struct Capabilities {
  bool filesystem_isolation = false;
  bool network_isolation = false;
  bool process_isolation = true;
};

struct StatusReport {
  std::uint32_t version = 1;
  bool ready = false;
  Capabilities capabilities;
  std::optional<std::string> warning;
  std::optional<std::string> remediation;
};

inline constexpr const char* kRemediation =
    "Open an elevated terminal and run: tessarin-sandbox.exe setup --json";

// The report for a readiness outcome: ready, or not ready for the reason given.
StatusReport make_status_report(const Status& readiness);

// Compact JSON, keys in field order, without the final line feed.
std::string serialize_status_report(const StatusReport& report);

}  // namespace tessarin
