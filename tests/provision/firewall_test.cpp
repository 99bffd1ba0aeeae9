#include "provision/firewall.h"

#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "provision/powershell.h"

namespace tessarin {
namespace {

using fakes::FakePlatform;

TEST(PowerShellQuote, DoublesApostrophesAndWrapsInThem) {
  EXPECT_EQ(powershell_quote("O'Brien"), "'O''Brien'");
  EXPECT_EQ(powershell_quote("'"), "''''");
  EXPECT_EQ(powershell_quote(""), "''");
  EXPECT_EQ(powershell_quote("Tessarin Sandbox"), "'Tessarin Sandbox'");
  EXPECT_EQ(powershell_quote("$x \"y\" `z`"), "'$x \"y\" `z`'");
}

TEST(PowerShellQuote, DoublesTheTypographicQuotesThatAlsoEndALiteral) {
  // U+2018, U+2019, U+201A, U+201B; U+201C (a double quote) stays single.
  EXPECT_EQ(powershell_quote("a\u2018b\u2019c\u201Ad\u201Be\u201Cf"),
            "'a\u2018\u2018b\u2019\u2019c\u201A\u201Ad\u201B\u201Be\u201Cf'");
  EXPECT_EQ(powershell_quote("\u2019; Remove-Item x; \u2019"),
            "'\u2019\u2019; Remove-Item x; \u2019\u2019'");
  // Other three-byte characters and a cut-off sequence pass unchanged.
  EXPECT_EQ(powershell_quote("\u20AC\u3018\xE2\x80"), "'\u20AC\u3018\xE2\x80'");
}

TEST(FirewallRuleName, ProfileThenDirection) {
  EXPECT_EQ(firewall_rule_name("Tessarin.Sandbox.v1.WorkspaceWrite.Offline", kInbound),
            "Tessarin Sandbox Tessarin.Sandbox.v1.WorkspaceWrite.Offline Inbound");
}

TEST(FirewallScripts, BlockRuleScriptReplacesTheRule) {
  EXPECT_EQ(block_rule_script("Tessarin.Sandbox.v1.ReadOnly.Offline", "S-1-15-2-11-22", kOutbound),
            "$ErrorActionPreference='Stop'; Get-NetFirewallRule -Name "
            "'Tessarin Sandbox Tessarin.Sandbox.v1.ReadOnly.Offline Outbound' -ErrorAction "
            "SilentlyContinue | Remove-NetFirewallRule; New-NetFirewallRule -Name "
            "'Tessarin Sandbox Tessarin.Sandbox.v1.ReadOnly.Offline Outbound' -DisplayName "
            "'Tessarin Sandbox Tessarin.Sandbox.v1.ReadOnly.Offline Outbound' -Group "
            "'Tessarin Sandbox' -Direction Outbound -Action Block -Enabled True -Profile Any "
            "-LocalUser 'D:(A;;CC;;;S-1-15-2-11-22)' | Out-Null");
}

TEST(FirewallScripts, CheckScriptListsInboundThenOutboundPerProfileInTheGivenOrder) {
  EXPECT_EQ(firewall_check_script({"A.Offline", "B.Offline", "A.Offline"}),
            "$ErrorActionPreference='Stop'; $missing=@('Tessarin Sandbox A.Offline Inbound',"
            "'Tessarin Sandbox A.Offline Outbound','Tessarin Sandbox B.Offline Inbound',"
            "'Tessarin Sandbox B.Offline Outbound','Tessarin Sandbox A.Offline Inbound',"
            "'Tessarin Sandbox A.Offline Outbound') | Where-Object { "
            "$rule=Get-NetFirewallRule -Name $_ -PolicyStore ActiveStore -ErrorAction "
            "SilentlyContinue; $null -eq $rule -or $rule.Enabled -ne 'True' }; "
            "if ($missing.Count -ne 0) { exit 1 }");
  EXPECT_EQ(firewall_check_script({}),
            "$ErrorActionPreference='Stop'; $missing=@() | Where-Object { "
            "$rule=Get-NetFirewallRule -Name $_ -PolicyStore ActiveStore -ErrorAction "
            "SilentlyContinue; $null -eq $rule -or $rule.Enabled -ne 'True' }; "
            "if ($missing.Count -ne 0) { exit 1 }");
}

TEST(RunPowerShell, FiveArgumentsToTheBareNameAndOnlyTheSystemsModules) {
  FakePlatform p;
  ASSERT_TRUE(run_powershell(p.tools, p.env, "exit 0"));
  ASSERT_EQ(p.tools.runs.size(), 1u);
  EXPECT_EQ(p.tools.runs[0].name, "powershell.exe");
  EXPECT_FALSE(p.tools.runs[0].captured);
  EXPECT_EQ(
      p.tools.runs[0].arguments,
      (std::vector<std::string>{"-NoLogo", "-NoProfile", "-NonInteractive", "-Command", "exit 0"}));
  EXPECT_EQ(p.tools.runs[0].overrides,
            (std::vector<VariableOverride>{
                {"PSModulePath", "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\Modules"}}));
}

TEST(RunPowerShell, ExitCodesInDecimalOrInHexadecimalWhenTheTopBitIsSet) {
  FakePlatform p;
  std::uint32_t code = 0;
  p.tools.on_run = [&](const fakes::FakeToolRunner::Run&) -> SysResult<CapturedRun> {
    return CapturedRun{code, {}};
  };
  code = 1;
  EXPECT_EQ(run_powershell(p.tools, p.env, "x").error(), "PowerShell exited with exit code: 1");
  code = 2147483647u;
  EXPECT_EQ(run_powershell(p.tools, p.env, "x").error(),
            "PowerShell exited with exit code: 2147483647");
  code = 3221225786u;
  EXPECT_EQ(run_powershell(p.tools, p.env, "x").error(),
            "PowerShell exited with exit code: 0xc000013a");
}

TEST(RunPowerShell, AStartFailureCarriesTheSystemText) {
  FakePlatform p;
  p.tools.on_run = [](const fakes::FakeToolRunner::Run&) -> SysResult<CapturedRun> {
    return sys_fail(SystemError{2, "program not found"});
  };
  EXPECT_EQ(run_powershell(p.tools, p.env, "x").error(),
            "failed to start PowerShell: program not found");
  EXPECT_EQ(install_block_rule(p.tools, p.env, "A.Offline", "S-1", kInbound).error(),
            "failed to start PowerShell: program not found");
}

}  // namespace
}  // namespace tessarin
