#include "provision/firewall.h"

#include "provision/powershell.h"

namespace tessarin {

std::string firewall_rule_name(std::string_view profile_name, std::string_view direction) {
  std::string name = "Tessarin Sandbox ";
  name += profile_name;
  name += ' ';
  name += direction;
  return name;
}

std::string block_rule_script(std::string_view profile_name, std::string_view sid_text,
                              std::string_view direction) {
  const std::string rule = powershell_quote(firewall_rule_name(profile_name, direction));
  std::string sddl = "D:(A;;CC;;;";
  sddl += sid_text;
  sddl += ')';
  // The old rule goes first, so that installing twice leaves one rule; with
  // errors as "Stop", a refused removal or creation ends PowerShell non-zero.
  std::string script = "$ErrorActionPreference='Stop'; Get-NetFirewallRule -Name ";
  script += rule;
  script += " -ErrorAction SilentlyContinue | Remove-NetFirewallRule; New-NetFirewallRule -Name ";
  script += rule;
  script += " -DisplayName ";
  script += rule;
  script += " -Group ";
  script += powershell_quote(kFirewallGroup);
  script += " -Direction ";
  script += direction;
  script += " -Action Block -Enabled True -Profile Any -LocalUser ";
  script += powershell_quote(sddl);
  // Nothing may reach standard output but the helper's own JSON.
  script += " | Out-Null";
  return script;
}

Status install_block_rule(ToolRunner& tools, Environment& env, std::string_view profile_name,
                          std::string_view sid_text, std::string_view direction) {
  return run_powershell(tools, env, block_rule_script(profile_name, sid_text, direction));
}

std::string firewall_check_script(const std::vector<std::string>& profile_names) {
  std::string list;
  for (const auto& profile : profile_names) {
    for (const std::string_view direction : {kInbound, kOutbound}) {
      if (!list.empty()) list += ',';
      list += powershell_quote(firewall_rule_name(profile, direction));
    }
  }
  // The result stays in a variable, so a passing check prints nothing.
  return "$ErrorActionPreference='Stop'; $missing=@(" + list +
         ") | Where-Object { $rule=Get-NetFirewallRule -Name $_ -PolicyStore ActiveStore "
         "-ErrorAction SilentlyContinue; $null -eq $rule -or $rule.Enabled -ne 'True' }; "
         "if ($missing.Count -ne 0) { exit 1 }";
}

}  // namespace tessarin
