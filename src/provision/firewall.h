#pragma once
// The block rules that keep the offline identities off the network, made and
// checked through the firewall cmdlets of Windows PowerShell.

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/environment.h"
#include "platform/tool_runner.h"

namespace tessarin {

inline constexpr std::string_view kOutbound = "Outbound";
inline constexpr std::string_view kInbound = "Inbound";
inline constexpr std::string_view kFirewallGroup = "Tessarin Sandbox";

// "Tessarin Sandbox <profile name> <direction>": the rule's unique key and its
// display name.
std::string firewall_rule_name(std::string_view profile_name, std::string_view direction);

// The script that replaces the identity's rule in one direction: an enabled
// rule blocking all traffic of processes running under the SID.
std::string block_rule_script(std::string_view profile_name, std::string_view sid_text,
                              std::string_view direction);
// Runs block_rule_script; fails with the runner's message.
Status install_block_rule(ToolRunner& tools, Environment& env, std::string_view profile_name,
                          std::string_view sid_text, std::string_view direction);

// The script that exits 1 when any of the profiles' Inbound and Outbound rules
// is absent from the active policy or not enabled, and 0 otherwise.
std::string firewall_check_script(const std::vector<std::string>& profile_names);

}  // namespace tessarin
