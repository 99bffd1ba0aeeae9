"""`setup` and `status` of the real helper under Wine, against the stand-in
userenv.dll (profiles in userenv-profiles.txt) and the stand-in powershell.exe
(rules in firewall-rules.json), which both log every call to calls.log beside
the helper."""

import json
import shutil

import pytest

from harness import (PROFILES, PROGRAMS, RO_OFF, RO_ON, STAND_INS, WW_OFF, WW_ON, Install,
                     run_args, to_windows)
from stand_ins import logged_calls

SETUP_LINE = '{"version":1,"ready":true}\n'
READY = (
    '{"version":1,"ready":true,"capabilities":{"filesystem_isolation":true,'
    '"network_isolation":true,"process_isolation":true},"warning":null,"remediation":null}\n'
)
MARKER = (
    b'{\n  "version": 1,\n  "offline_profiles": [\n'
    b'    "Tessarin.Sandbox.v1.ReadOnly.Offline",\n'
    b'    "Tessarin.Sandbox.v1.WorkspaceWrite.Offline"\n  ]\n}'
)
POWERSHELL_HEAD = ["-NoLogo", "-NoProfile", "-NonInteractive", "-Command"]
# The caller's module path, spelled in lower case (Windows ignores the case of
# names), against the only one PowerShell may load the firewall module from.
USER_MODULES = {"psmodulepath": "Z:\\planted\\Modules"}
SYSTEM_MODULES = "C:\\windows\\system32\\WindowsPowerShell\\v1.0\\Modules"


def not_ready(warning: str) -> str:
    return (
        '{"version":1,"ready":false,"capabilities":{"filesystem_isolation":false,'
        '"network_isolation":false,"process_isolation":true},'
        f'"warning":{json.dumps(warning)},'
        '"remediation":"Open an elevated terminal and run: tessarin-sandbox.exe setup --json"}\n'
    )


def firewall_failure(profile: str, message: str) -> str:
    return (f"tessarin-sandbox: administrator WFP/firewall initialization failed for {profile}: "
            f"{message}. Run this helper's `setup --json` command from an elevated terminal\n")


def calls(install: Install) -> list[dict]:
    return logged_calls(install.stand_in_state)


def rules(install: Install) -> list[dict]:
    return json.loads((install.stand_in_state / "firewall-rules.json").read_text())["rules"]


def edit_rules(install: Install, change) -> None:
    store = json.loads((install.stand_in_state / "firewall-rules.json").read_text())
    store["rules"] = change(store["rules"])
    (install.stand_in_state / "firewall-rules.json").write_text(json.dumps(store))


def registered(install: Install) -> list[str]:
    text = (install.stand_in_state / "userenv-profiles.txt").read_text()
    return [line.split("\t")[0] for line in text.splitlines()]


def rule_name(profile: str, direction: str) -> str:
    return f"Tessarin Sandbox {profile} {direction}"


def quoted(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def rule_script(profile: str, sid: str, direction: str) -> str:
    name = quoted(rule_name(profile, direction))
    return (f"$ErrorActionPreference='Stop'; Get-NetFirewallRule -Name {name} -ErrorAction "
            f"SilentlyContinue | Remove-NetFirewallRule; New-NetFirewallRule -Name {name} "
            f"-DisplayName {name} -Group 'Tessarin Sandbox' -Direction {direction} -Action Block "
            f"-Enabled True -Profile Any -LocalUser {quoted(f'D:(A;;CC;;;{sid})')} | Out-Null")


def check_script(profiles: list[str]) -> str:
    names = ",".join(quoted(rule_name(p, d)) for p in profiles for d in ("Inbound", "Outbound"))
    return (f"$ErrorActionPreference='Stop'; $missing=@({names}) | Where-Object {{ "
            "$rule=Get-NetFirewallRule -Name $_ -PolicyStore ActiveStore -ErrorAction "
            "SilentlyContinue; $null -eq $rule -or $rule.Enabled -ne 'True' }; "
            "if ($missing.Count -ne 0) { exit 1 }")


def setup_ok(install: Install, **kwargs) -> None:
    result = install.run("setup", **kwargs)
    assert (result.exit_code, result.out, result.err) == (0, SETUP_LINE, "")


def status_line(install: Install, **kwargs) -> str:
    result = install.run("status", **kwargs)
    assert result.exit_code == 0 and result.stderr == b""
    return result.out


@pytest.fixture
def ready(install):
    """A machine on which setup completed; the log starts empty."""
    setup_ok(install)
    (install.stand_in_state / "calls.log").unlink()
    return install


def test_fresh_machine_setup_then_status(install):
    assert status_line(install) == not_ready("administrator initialization is required")
    assert calls(install) == []  # judged without asking anything

    result = install.run("setup", "--json", env=USER_MODULES)
    assert (result.exit_code, result.out, result.err) == (0, SETUP_LINE, "")
    assert (install.state_dir / "setup-v1.json").read_bytes() == MARKER
    assert not (install.state_dir / "setup-v1.tmp").exists()

    log = calls(install)
    calls_of_setup = [c for c in log if c["tool"] == "powershell"]
    sids = {c["name"]: c["sid"] for c in log if c["tool"] == "userenv"}
    steps = []
    for c in log:
        if c["tool"] == "userenv":
            assert c["call"] == "CreateAppContainerProfile"
            assert (c["display_name"], c["description"], c["capabilities"], c["capability_count"],
                    c["result"]) == ("Tessarin command sandbox",
                                     "Restricted identity used for Tessarin tool execution",
                                     None, 0, "0x00000000")
            steps.append(("register", c["name"]))
        else:
            assert c["argv"][1:5] == POWERSHELL_HEAD and len(c["argv"]) == 6
            assert c["script"] == "rule" and c["exit_code"] == 0
            assert c["ps_module_path"] == SYSTEM_MODULES
            steps.append(("rule", c["argv"][5]))
    assert steps == [
        ("register", RO_OFF),
        ("rule", rule_script(RO_OFF, sids[RO_OFF], "Outbound")),
        ("rule", rule_script(RO_OFF, sids[RO_OFF], "Inbound")),
        ("register", RO_ON),
        ("register", WW_OFF),
        ("rule", rule_script(WW_OFF, sids[WW_OFF], "Outbound")),
        ("rule", rule_script(WW_OFF, sids[WW_OFF], "Inbound")),
        ("register", WW_ON),
    ]
    assert registered(install) == PROFILES
    assert [(r["name"], r["direction"], r["enabled"], r["local_user"]) for r in rules(install)] == [
        (rule_name(RO_OFF, "Outbound"), "Outbound", True, f"D:(A;;CC;;;{sids[RO_OFF]})"),
        (rule_name(RO_OFF, "Inbound"), "Inbound", True, f"D:(A;;CC;;;{sids[RO_OFF]})"),
        (rule_name(WW_OFF, "Outbound"), "Outbound", True, f"D:(A;;CC;;;{sids[WW_OFF]})"),
        (rule_name(WW_OFF, "Inbound"), "Inbound", True, f"D:(A;;CC;;;{sids[WW_OFF]})"),
    ]

    (install.stand_in_state / "calls.log").unlink()
    assert status_line(install, env=USER_MODULES) == READY
    log = calls(install)
    # Each profile derived and looked up in the fixed order, then one check.
    assert [(c["tool"], c.get("call"), c.get("name")) for c in log] == [
        *[("userenv", call, p) for p in PROFILES
          for call in ("DeriveAppContainerSidFromAppContainerName", "GetAppContainerFolderPath")],
        ("powershell", None, None),
    ]
    assert log[-1]["argv"][1:] == [*POWERSHELL_HEAD, check_script([RO_OFF, WW_OFF])]
    assert log[-1]["ps_module_path"] == SYSTEM_MODULES
    # Its streams are pipes and the helper has no console: a console of its
    # own would cost a console host, and one shared would be the caller's.
    assert [c["console_processes"] for c in calls_of_setup + log[-1:]] == [0] * 5


def test_a_second_setup_leaves_the_same_state(ready):
    first_rules = rules(ready)
    setup_ok(ready)
    assert rules(ready) == first_rules  # each rule once
    assert registered(ready) == PROFILES
    assert (ready.state_dir / "setup-v1.json").read_bytes() == MARKER
    creations = [c for c in calls(ready) if c.get("call") == "CreateAppContainerProfile"]
    assert [c["result"] for c in creations] == ["0x800700b7"] * 4
    derived = [c["name"] for c in calls(ready)
               if c.get("call") == "DeriveAppContainerSidFromAppContainerName"]
    assert derived == PROFILES
    assert len(ready.powershell.calls()) == 4
    assert status_line(ready) == READY


def test_setup_without_administrator_rights(install):
    install.powershell.fail(1)
    result = install.run("setup", "--json")
    assert result.exit_code == 78
    assert result.out == ""
    assert result.err == firewall_failure(RO_OFF, "PowerShell exited with exit code: 1")
    assert registered(install) == [RO_OFF]
    assert len(install.powershell.calls()) == 1
    assert not (install.state_dir / "setup-v1.json").exists()
    assert status_line(install) == not_ready("administrator initialization is required")

    # Elevated later: the registered profile's SID is derived, and all completes.
    install.powershell.reset()
    setup_ok(install)
    assert registered(install) == PROFILES
    assert status_line(install) == READY


def test_a_failed_inbound_rule_of_the_second_identity(install):
    install.powershell.fail_call(4, 3221225786)
    result = install.run("setup")
    assert result.exit_code == 78
    assert result.err == firewall_failure(WW_OFF, "PowerShell exited with exit code: 0xc000013a")
    assert registered(install) == [RO_OFF, RO_ON, WW_OFF]
    assert not (install.state_dir / "setup-v1.json").exists()


def test_setup_without_powershell(bare_wine, tmp_path):
    install = Install(bare_wine, tmp_path)
    result = install.run("setup")
    assert result.exit_code == 78
    assert result.err == firewall_failure(RO_OFF, "failed to start PowerShell: program not found")
    assert registered(install) == [RO_OFF]


def test_profile_faults_reach_the_user_unchanged(install):
    (install.stand_in_state / "userenv-control.txt").write_text(f"create {WW_OFF} 0x80070005\n")
    result = install.run("setup")
    assert result.exit_code == 78
    assert result.err == ("tessarin-sandbox: CreateAppContainerProfile("
                          "Tessarin.Sandbox.v1.WorkspaceWrite.Offline) failed: 0x80070005\n")

    (install.stand_in_state / "userenv-control.txt").write_text(f"create-null-sid {WW_OFF}\n")
    result = install.run("setup")
    assert result.err == ("tessarin-sandbox: CreateAppContainerProfile("
                          "Tessarin.Sandbox.v1.WorkspaceWrite.Offline) failed: 0x00000000\n")
    assert not (install.state_dir / "setup-v1.json").exists()

    (install.stand_in_state / "userenv-control.txt").write_text(f"derive {WW_ON} 0x80004005\n")
    setup_ok(install)  # WorkspaceWrite.Online is created, not derived
    assert status_line(install) == not_ready(
        "DeriveAppContainerSidFromAppContainerName(Tessarin.Sandbox.v1.WorkspaceWrite.Online) "
        "failed: 0x80004005")
    assert install.powershell.calls()[-1]["script"] == "rule"


def test_the_state_directory_comes_first(install):
    blocker = install.root / "not-a-directory"
    blocker.write_text("")
    result = install.run("setup", env={"LOCALAPPDATA": to_windows(blocker)})
    assert result.exit_code == 78
    assert result.err.startswith("tessarin-sandbox: create state directory: ")
    assert result.err.endswith(")\n") and "(os error " in result.err
    assert calls(install) == []


@pytest.mark.parametrize("content", [b"", b"{", MARKER + b"x", b"\xef\xbb\xbf" + MARKER,
                                     MARKER.replace(b"1,", b"1.0,")])
def test_a_corrupt_marker(ready, content):
    (ready.state_dir / "setup-v1.json").write_bytes(content)
    assert status_line(ready) == not_ready("setup marker is corrupt")
    assert calls(ready) == []


def test_a_marker_of_another_version_starts_no_powershell(ready):
    (ready.state_dir / "setup-v1.json").write_bytes(MARKER.replace(b'"version": 1', b'"version": 2'))
    assert status_line(ready) == not_ready(
        "Windows sandbox setup version does not match the helper")
    assert calls(ready) == []


def test_an_unregistered_online_profile(ready):
    profiles = ready.stand_in_state / "userenv-profiles.txt"
    profiles.write_text("".join(line + "\n" for line in profiles.read_text().splitlines()
                                if not line.startswith(RO_ON + "\t")))
    assert status_line(ready) == not_ready(
        "AppContainer profile Tessarin.Sandbox.v1.ReadOnly.Online is not registered")
    assert ready.powershell.calls() == []


@pytest.mark.parametrize("listed", [[RO_OFF], [RO_OFF, WW_OFF, RO_ON], [], [RO_OFF, RO_OFF]])
def test_a_marker_list_other_than_the_offline_identities(ready, listed):
    marker = {"version": 1, "offline_profiles": listed}
    (ready.state_dir / "setup-v1.json").write_text(json.dumps(marker))
    assert status_line(ready) == not_ready("setup marker does not contain every offline identity")
    assert ready.powershell.calls() == []


def test_the_check_names_the_rules_as_the_marker_lists_them(ready):
    listed = [WW_OFF, RO_OFF, WW_OFF]
    (ready.state_dir / "setup-v1.json").write_text(
        json.dumps([1, listed], indent="\t") + "\r\n")
    assert status_line(ready) == READY
    assert [c["argv"][5] for c in ready.powershell.calls()] == [check_script(listed)]


@pytest.mark.parametrize("change", ["disable in the store", "disable by control", "delete"])
def test_a_disabled_or_missing_rule(ready, change):
    target = rule_name(WW_OFF, "Inbound")
    if change == "disable in the store":
        edit_rules(ready, lambda rs: [{**r, "enabled": r["name"] != target} for r in rs])
    elif change == "disable by control":
        ready.powershell.disable(target)
    else:
        edit_rules(ready, lambda rs: [r for r in rs if r["name"] != target])
    assert status_line(ready) == not_ready("required WFP/firewall rules are missing or disabled")
    assert len(ready.powershell.calls()) == 1


def test_without_the_systems_powershell_the_one_beside_the_helper_serves(bare_wine, tmp_path):
    install = Install(bare_wine, tmp_path, beside=("powershell.exe",))
    setup_ok(install)
    assert status_line(install) == READY
    (install.bin / "powershell.exe").unlink()
    assert status_line(install) == not_ready("required WFP/firewall rules are missing or disabled")


def test_tools_and_userenv_planted_beside_the_helper_or_on_path_are_never_used(wine, tmp_path):
    # A program of another kind under each name: started or loaded, it would
    # spoil the outcome, while the system's stand-ins record what they did.
    install = Install(wine, tmp_path)
    planted = tmp_path / "workspace-bin"
    planted.mkdir()
    for directory in (install.bin, planted):
        for name in STAND_INS:
            shutil.copy2(PROGRAMS / "argv_echo.exe", directory / name)
    path = {"PATH": f"{to_windows(planted)};C:\\windows\\system32;C:\\windows"}
    setup_ok(install, env=path)
    assert status_line(install, env=path) == READY
    work = install.root / "work"
    work.mkdir()
    result = install.run(*run_args(work, preset="read_only", command=("cmd.exe",)), env=path)
    assert result.exit_code == 77, result.err
    assert len(install.powershell.calls()) == 4 + 1 + 1
    assert [e["event"] for e in install.icacls.events()].count("end") == 4


@pytest.mark.parametrize("local_app_data", [None, "", "relative"])
def test_without_local_app_data_setup_and_status_agree_on_the_temporary_directory(
        install, local_app_data):
    temp = install.root / "temp"
    temp.mkdir()
    env = {"TMP": to_windows(temp), "TEMP": to_windows(temp)}
    if local_app_data is None:
        kwargs = {"env": env, "unset": ("LOCALAPPDATA",)}
    else:
        kwargs = {"env": {**env, "LOCALAPPDATA": local_app_data}}
    assert status_line(install, **kwargs) == not_ready("administrator initialization is required")
    setup_ok(install, **kwargs)
    assert (temp / "Tessarin" / "sandbox" / "setup-v1.json").read_bytes() == MARKER
    assert install.files_under_localappdata() == []
    assert list(install.cwd.iterdir()) == []
    assert status_line(install, **kwargs) == READY
    # The run points TEMP and TMP at its own directory; the lease is still
    # found where it was written, and goes; only the identity's lock file stays.
    work = install.root / "work"
    work.mkdir()
    result = install.run(*run_args(work, preset="read_only", command=("cmd.exe",)), **kwargs)
    assert result.exit_code == 77
    assert [p.name for p in (temp / "Tessarin" / "sandbox" / "acl-leases").iterdir()] == \
        ["Tessarin.Sandbox.v1.ReadOnly.Offline.lock"]
    # With LOCALAPPDATA back, the machine is judged by the other directory.
    assert status_line(install) == not_ready("administrator initialization is required")
