"""`run` of the real helper under Wine, after a real `setup` against the
stand-ins. Wine cannot start AppContainer processes, so every run gets through
readiness, validation, the lock, stale-lease recovery, the lease and the grants,
and then fails at the security-capabilities attribute; what must hold is what
it leaves behind. The icacls stand-in records every call and keeps a ledger of
the entries in force."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from harness import (LAUNCH_FAILS, RO_OFF, WW_OFF, Install, WineStartFailure, from_windows, run_args,
                     to_windows)
from stand_ins import IcaclsStandIn


@pytest.fixture
def machine(install):
    result = install.run("setup")
    assert result.exit_code == 0, result.err
    return install


def canonical(path: Path) -> str:
    return "\\\\?\\" + to_windows(path)


def directory(install: Install, name: str) -> Path:
    path = install.root / name
    path.mkdir(parents=True, exist_ok=True)
    return path


def lease_file(install: Install, profile: str = WW_OFF) -> Path:
    return install.state_dir / "acl-leases" / f"{profile}.json"


def temp_dirs(install: Install) -> list[str]:
    tmp = install.state_dir / "tmp"
    return sorted(p.name for p in tmp.iterdir()) if tmp.exists() else []


def grant(path: str, sid: str, permission: str = "(OI)(CI)M"):
    return [path, "/grant", f"*{sid}:{permission}", "/T", "/C", "/Q"]


def revoke(path: str, sid: str):
    return [path, "/remove:g", f"*{sid}", "/T", "/C", "/Q"]


def sid_of(calls) -> str:
    return calls[0][2].split(":")[0].removeprefix("*")


def test_a_run_is_granted_then_fails_at_the_launch_and_leaves_nothing_behind(machine, icacls):
    icacls.snapshot_leases()
    work = directory(machine, "work")
    data = directory(machine, "data dir")
    tools = directory(machine, "tools")
    before = len(machine.powershell.calls())
    result = machine.run(*run_args(work, cwd=directory(machine, "work/sub"),
                                   roots=(data, data, work), readable=(tools, data)))
    assert (result.exit_code, result.err) == (77, f"tessarin-sandbox: {LAUNCH_FAILS}\n")
    assert result.stdout == b""

    calls = icacls.calls()
    sid = sid_of(calls)
    assert sid.startswith("S-1-15-2-")
    temp = calls[6][0]
    assert from_windows(temp).parent == machine.state_dir / "tmp"
    # Every occurrence of a root is granted, at its level; each leased path
    # is revoked once.
    leased = [canonical(work), canonical(data), canonical(tools), temp]
    assert calls == [grant(canonical(work), sid), grant(canonical(data), sid),
                     grant(canonical(data), sid), grant(canonical(work), sid),
                     grant(canonical(tools), sid, "(OI)(CI)RX"),
                     grant(canonical(data), sid, "(OI)(CI)RX"), grant(temp, sid),
                     *[revoke(path, sid) for path in leased]]
    assert icacls.ledger() == []
    assert len(machine.powershell.calls()) - before == 1
    # The lease held exactly these bytes when the first grant was made.
    assert icacls.lease_snapshot() == {f"{WW_OFF}.json": json.dumps(leased, separators=(",", ":"))}
    assert not lease_file(machine).exists()
    assert temp_dirs(machine) == []


def test_the_container_folder_is_emptied_before_any_launch_and_what_is_locked_moved_aside(
        machine, icacls):
    work = directory(machine, "work")
    packages = machine.stand_in_state / "Packages"
    ours, theirs = packages / WW_OFF.lower() / "AC", packages / RO_OFF.lower() / "AC"
    for folder in (ours, theirs):
        (folder / "Temp" / "old").mkdir(parents=True)
        (folder / "npm-cache" / "locked").mkdir(parents=True)
        (folder / "npm-cache" / "locked" / "x").write_text("left by a command")
    # A file that cannot be removed in a folder that can be moved, as a
    # command makes one on Windows with an OWNER RIGHTS entry.
    locked = ours / "npm-cache" / "locked"
    if os.geteuid() == 0:
        subprocess.run(["chattr", "+i", locked / "x"], check=True)
    else:
        locked.chmod(0o555)
    theirs_before = sorted(theirs.rglob("*"))
    try:
        # A failed grant ends the run before any launch, and so before any
        # emptying after the child: only the one before the launch ran.
        icacls.fail(canonical(work), 5, b"denied\r\n", direction="grant")
        assert machine.run(*run_args(work)).exit_code == 77
        assert [p.name for p in ours.iterdir()] == ["Temp"]
        assert list((ours / "Temp").iterdir()) == []
        [aside] = (machine.state_dir / "stale").iterdir()
        assert re.fullmatch("[0-9a-f]{32}", aside.name)
        assert (aside / "locked" / "x").read_text() == "left by a command"
        assert sorted(theirs.rglob("*")) == theirs_before
        icacls.reset()
        (ours / "Temp" / "again").write_text("x")
        result = machine.run(*run_args(work))
        assert (result.exit_code, result.err) == (77, f"tessarin-sandbox: {LAUNCH_FAILS}\n")
        assert [p.name for p in ours.rglob("*")] == ["Temp"]
    finally:
        subprocess.run(["chattr", "-R", "-i", machine.root], check=False, capture_output=True)


def test_a_failing_revocation_is_reported_after_the_launch_and_keeps_the_lease(machine, icacls):
    work = directory(machine, "work")
    data = directory(machine, "data")
    icacls.fail(canonical(data), 5, b"access denied\r\n", direction="revoke")
    result = machine.run(*run_args(work, roots=(data,)))
    assert result.exit_code == 77
    assert result.err == (f"tessarin-sandbox: {LAUNCH_FAILS}; workspace ACL cleanup failed for "
                          f"{canonical(data)}: access denied\n")
    sid = sid_of(icacls.calls())
    assert icacls.ledger() == [(canonical(data), f"*{sid}", "(OI)(CI)M")]
    leased = json.loads(lease_file(machine).read_text())
    assert leased[:2] == [canonical(work), canonical(data)]
    # The temporary directory goes whatever the revocation did.
    assert temp_dirs(machine) == []


@pytest.mark.parametrize("case", ["cwd before workspace", "outside", "parent 0", "preset",
                                  "helper's directory"])
def test_validation_errors_touch_no_lease_grant_or_temporary_directory(machine, icacls, case):
    work = directory(machine, "work")
    work2 = directory(machine, "work2")
    args, message = {
        "cwd before workspace": (run_args(machine.root / "gone", cwd=machine.root / "missing"),
                                 "invalid cwd: "),
        "outside": (run_args(work, cwd=work2), "cwd is outside the configured workspace"),
        "parent 0": (run_args(work, parent="0"), "invalid parent process identifier"),
        "preset": (run_args(work, preset="Read_Only"),
                   "unsupported Windows sandbox preset: Read_Only"),
        # The helper's own idea of its directory meets the canonical workspace.
        "helper's directory": (run_args(machine.bin), f"workspace {canonical(machine.bin)} covers "
                               f"the helper's own directory {canonical(machine.bin)}\n"),
    }[case]
    result = machine.run(*args)
    assert result.exit_code == 77
    assert result.err.startswith(f"tessarin-sandbox: {message}")
    if case == "cwd before workspace":
        assert result.err.rstrip().endswith(")") and "(os error " in result.err
    assert icacls.calls() == []
    assert not (machine.state_dir / "acl-leases").exists()
    assert temp_dirs(machine) == []


def windows_kill(install: Install, pid: int) -> None:
    subprocess.run(["wine", "taskkill", "/F", "/PID", str(pid)], env=install.wine.env,
                   stdin=subprocess.DEVNULL, capture_output=True, timeout=60, check=True)


def test_the_next_run_repairs_what_a_killed_run_left(machine, icacls):
    work = directory(machine, "work")
    data = directory(machine, "data")
    # Long enough that the kill, itself a Wine process that is slow to start
    # on a busy machine, lands while the second grant still sleeps.
    icacls.sleep(6000)
    killed = machine.start(*run_args(work, roots=(data,)))
    # Killed while its second grant is in progress.
    machine.wait_until(lambda: len(icacls.calls()) >= 2, "the second grant", running=killed)
    old_lease = json.loads(lease_file(machine).read_text())
    old_temp = old_lease[-1]
    windows_kill(machine, int(Path(from_windows(old_temp)).name))
    machine.finish(killed, timeout=60)
    # The grant the killed run had started dies with it, in the tool's job:
    # it can never write an entry after the next run has revoked.
    time.sleep(5.5)
    assert sum(e["event"] == "end" for e in icacls.events()) == 1
    assert len(icacls.ledger()) == 1
    assert lease_file(machine).exists()

    icacls.reset()
    result = machine.run(*run_args(work, roots=(data,)))
    assert result.err == f"tessarin-sandbox: {LAUNCH_FAILS}\n"
    calls = icacls.calls()[2:]
    sid = sid_of(icacls.calls())
    # The old lease is revoked in full, its temporary directory included,
    # before the new run grants anything.
    assert old_lease == [canonical(work), canonical(data), old_temp]
    assert calls[:3] == [revoke(path, sid) for path in old_lease]
    assert calls[3] == grant(canonical(work), sid)
    assert icacls.ledger() == []
    assert not lease_file(machine).exists()


def span(icacls: IcaclsStandIn, workspace: str) -> tuple[int, int]:
    """From the start of a run's first tool call, the grant on its workspace,
    to the end of the revocation there, which comes after its launch."""
    starts, began, ended = {}, None, None
    for event in icacls.events():
        if event["event"] == "start":
            starts[event["pid"]] = event
            continue
        call = starts[event["pid"]]
        if call["args"][0] == workspace and call["args"][1] == "/grant":
            began = call["time_us"]
        if call["args"][0] == workspace and call["args"][1] == "/remove:g":
            ended = event["time_us"]
    assert began is not None and ended is not None
    return began, ended


@pytest.mark.parametrize("same_identity", [True, False])
def test_runs_of_one_identity_never_overlap(machine, icacls, same_identity):
    # Slow enough that two runs of different identities overlap even when
    # Wine is slow to start the second helper.
    icacls.sleep(500 if same_identity else 1500)
    first, second = directory(machine, "first"), directory(machine, "second")
    started = [machine.start(*run_args(first)),
               machine.start(*run_args(second,
                                       preset="workspace_write" if same_identity else "read_only"))]
    outcomes = [machine.finish(each) for each in started]
    for outcome in outcomes:
        assert (outcome.exit_code, outcome.err) == (77, f"tessarin-sandbox: {LAUNCH_FAILS}\n")
    assert len(icacls.calls()) == 8
    assert icacls.ledger() == []
    (a_start, a_end), (b_start, b_end) = sorted([span(icacls, canonical(first)),
                                                 span(icacls, canonical(second))])
    if same_identity:
        assert a_end <= b_start
    else:
        assert b_start < a_end


def test_a_run_whose_caller_ends_while_it_is_queued_grants_nothing(machine, icacls):
    work = directory(machine, "work")
    # Another run of the identity holds its mutex until it is killed below;
    # ten minutes only bound a test that dies before its clean-up.
    held = machine.root / "held.log"
    holder = machine.start(f"Local\\Tessarin.Sandbox.Profile.{WW_OFF}", "600000",
                           to_windows(held), program=machine.program("lock_probe.exe"))
    caller_pid = machine.root / "caller.pid"
    caller = machine.start("caller", to_windows(caller_pid), "60000",
                           program=machine.program("sandbox_child.exe"))
    try:
        # Each file exists a moment before it holds the number.
        machine.wait_until(lambda: held.exists() and held.read_text() and caller_pid.exists()
                           and caller_pid.read_text(), "the holder and the caller")
        before = len(machine.powershell.calls())
        started = time.monotonic()
        queued = machine.start(*run_args(work, parent=caller_pid.read_text()))
        # Past readiness, then queued for the mutex.
        machine.wait_until(lambda: len(machine.powershell.calls()) > before,
                           "the readiness check", running=queued)
        time.sleep(3)
        windows_kill(machine, int(caller_pid.read_text()))
        outcome = machine.finish(queued, timeout=60)
        assert time.monotonic() - started < 50  # it did not wait for the holder
    finally:
        windows_kill(machine, int(held.read_text().split()[1]))
        machine.finish(holder, timeout=60)
        machine.finish(caller, timeout=60)
    assert (outcome.exit_code, outcome.err) == (77, "tessarin-sandbox: parent process exited; "
                                                    "terminated the sandbox process tree\n")
    assert icacls.calls() == []
    assert not lease_file(machine).exists()


def test_an_icacls_failure_at_each_call_position_is_reported_and_undone(machine, icacls):
    """One run grants the workspace, a root and the temporary directory, then
    revokes them; each of those six calls fails in turn."""
    work, data = directory(machine, "work"), directory(machine, "data")
    marker = (machine.state_dir / "setup-v1.json").read_bytes()
    for position in range(1, 7):
        for name in ("icacls-calls.jsonl", "icacls-ledger.jsonl"):
            (machine.stand_in_state / name).unlink(missing_ok=True)
        shutil.rmtree(machine.state_dir / "acl-leases", ignore_errors=True)
        icacls.reset()
        icacls.fail_call(position, 5, b"Access is denied.\r\n")
        result = machine.run(*run_args(work, roots=(data,)))
        calls = icacls.calls()
        failed = calls[position - 1][0]
        assert result.exit_code == 77, (position, result)
        if position <= 3:
            # The grant's message alone; everything leased is revoked at once.
            assert result.err == (f"tessarin-sandbox: workspace ACL grant failed for {failed}: "
                                  "Access is denied.\n")
            # So a revocation's failure goes unsaid: one that kept the lease
            # and logged no start is an icacls that Wine never ran.
            if lease_file(machine).exists() and len(calls) < position + 3:
                raise WineStartFailure(f"a revocation's icacls never started: {calls}")
            assert [c[1] for c in calls] == ["/grant"] * position + ["/remove:g"] * 3
            assert icacls.ledger() == []
            assert not lease_file(machine).exists()
        elif position == 6:
            # The temporary directory is removed instead, and so counts as
            # revoked: a folder a command locked in it cannot wedge the identity.
            assert result.err == f"tessarin-sandbox: {LAUNCH_FAILS}\n"
            assert not lease_file(machine).exists()
        else:
            assert result.err == (f"tessarin-sandbox: {LAUNCH_FAILS}; workspace ACL cleanup "
                                  f"failed for {failed}: Access is denied.\n")
            assert [entry[0] for entry in icacls.ledger()] == [failed]
            # The lease stays for the next run of the identity to repeat.
            assert json.loads(lease_file(machine).read_text())[position - 4] == failed
        assert temp_dirs(machine) == []
        assert (machine.state_dir / "setup-v1.json").read_bytes() == marker


def test_a_file_hard_linked_from_outside_stops_a_writing_run_but_not_a_reading_one(machine,
                                                                                    icacls):
    work, store = directory(machine, "work"), directory(machine, "store")
    (store / "lib.js").write_text("module.exports = 1;\n")
    os.link(store / "lib.js", work / "lib.js")
    # Wine counts the names of a Unix hard link but cannot list them: the
    # file counts as leading outside.
    result = machine.run(*run_args(work))
    assert result.exit_code == 77
    assert result.err.startswith(f"tessarin-sandbox: a write grant on {canonical(work)}\\lib.js "
                                 "would reach other names of it, which cannot be listed: ")
    assert icacls.calls() == [] and not lease_file(machine).exists()
    # Reading the file under another name shows nothing its content does not.
    result = machine.run(*run_args(work, preset="read_only"))
    assert (result.exit_code, result.err) == (77, f"tessarin-sandbox: {LAUNCH_FAILS}\n")
    assert icacls.calls()[0] == grant(canonical(work), sid_of(icacls.calls()), "(OI)(CI)RX")
