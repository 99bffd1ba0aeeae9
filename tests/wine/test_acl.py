"""Workspace grants, revocations and the ACL lease over the real Win32
platform, driven by acl_probe.exe against the stand-in icacls.exe."""

from __future__ import annotations

import json
import shutil

import pytest

from harness import PROGRAMS, WW_OFF, Install, to_windows

SID = "S-1-15-2-11-22-33"


def probe(install, *args):
    """Runs acl_probe.exe from the install directory; yields its exit code and
    the JSON line it printed."""
    result = install.run(*args, program=install.program("acl_probe.exe"))
    assert result.stderr == b""
    return result.exit_code, json.loads(result.out)


def grant(path, permission):
    return [path, "/grant", f"*{SID}:{permission}", "/T", "/C", "/Q"]


def revoke(path):
    return [path, "/remove:g", f"*{SID}", "/T", "/C", "/Q"]


def directory(install, name):
    path = install.root / name
    path.mkdir()
    return to_windows(path)


@pytest.mark.parametrize("preset, workspace_permission",
                         [("read_only", "(OI)(CI)RX"), ("workspace_write", "(OI)(CI)M")])
def test_grant_plan_then_revocation_run_the_exact_command_lines(install, icacls, preset,
                                                                 workspace_permission):
    # Extended-length, as the run passes canonical paths; a space, and a root
    # ending in a backslash, must each arrive as one unchanged argument.
    workspace = "\\\\?\\" + directory(install, "my work")
    root = directory(install, "out dir") + "\\"
    temp = directory(install, "tmp")
    code, outcome = probe(install, "grant-plan", workspace, SID, preset, temp, root, root)
    assert (code, outcome["ok"]) == (0, True)
    assert icacls.calls() == [grant(workspace, workspace_permission), grant(root, "(OI)(CI)M"),
                              grant(root, "(OI)(CI)M"), grant(temp, "(OI)(CI)M")]
    assert len(icacls.ledger()) == 4

    code, outcome = probe(install, "revoke", SID, workspace, root, temp)
    assert (code, outcome["ok"]) == (0, True)
    assert icacls.calls()[4:] == [revoke(workspace), revoke(root), revoke(temp)]
    assert icacls.ledger() == []


def test_tool_failures_end_with_the_trimmed_complaint(install, icacls):
    first, second, third = (directory(install, name) for name in ("a", "b", "c"))
    icacls.fail(first, 5, b"Access is denied.\r\n")
    icacls.fail(second, 1332, b"")
    icacls.fail(third, 2, b"  bad \xff byte\r\n", direction="revoke")

    code, outcome = probe(install, "grant", first, SID, "m")
    assert code == 1
    assert outcome["message"] == f"workspace ACL grant failed for {first}: Access is denied."
    code, outcome = probe(install, "grant", third, SID, "m")  # fails only when revoked
    assert code == 0
    code, outcome = probe(install, "revoke", SID, first, second, third)
    assert code == 1
    assert outcome["message"] == (f"workspace ACL cleanup failed for {first}: Access is denied.; "
                                  f"workspace ACL cleanup failed for {second}: ; "
                                  f"workspace ACL cleanup failed for {third}: bad \ufffd byte")
    assert icacls.ledger() == [(third, f"*{SID}", "(OI)(CI)M")]


def test_no_icacls_anywhere(bare_wine, tmp_path):
    install = Install(bare_wine, tmp_path)
    workspace = directory(install, "w")
    code, outcome = probe(install, "grant", workspace, SID, "rx")
    assert code == 1
    assert outcome["message"] == f"failed to start icacls for {workspace}: program not found"
    # A planted icacls.exe in the current directory is never started.
    shutil.copy2(PROGRAMS / "icacls.exe", install.cwd / "icacls.exe")
    code, outcome = probe(install, "revoke", SID, workspace)
    assert outcome["message"] == f"failed to start icacls for {workspace}: program not found"
    assert not (install.stand_in_state / "icacls-calls.jsonl").exists()


def test_a_stale_lease_is_revoked_where_paths_still_exist_then_deleted(install, icacls):
    kept = directory(install, "kept wörk")
    gone = directory(install, "gone")
    code, outcome = probe(install, "write-lease", WW_OFF, kept, gone)
    assert (code, outcome["ok"]) == (0, True)
    lease = install.state_dir / "acl-leases" / f"{WW_OFF}.json"
    assert lease.read_bytes() == json.dumps([kept, gone], ensure_ascii=False,
                                            separators=(",", ":")).encode()
    assert sorted(p.name for p in lease.parent.iterdir()) == [lease.name]  # no temporary left
    code, outcome = probe(install, "lease-path", WW_OFF)
    assert outcome["path"] == to_windows(lease)

    (install.root / "gone").rmdir()
    code, outcome = probe(install, "recover", WW_OFF, SID)
    assert (code, outcome["ok"]) == (0, True)
    assert icacls.calls() == [revoke(kept)]
    assert not lease.exists()

    # Nothing left to recover: success, and no tool run.
    code, outcome = probe(install, "recover", WW_OFF, SID)
    assert (code, outcome["ok"]) == (0, True)
    assert len(icacls.calls()) == 1


def test_an_unparsable_lease_stays_and_blocks(install, icacls):
    lease = install.state_dir / "acl-leases" / f"{WW_OFF}.json"
    lease.parent.mkdir(parents=True)
    lease.write_bytes(b'["Z:\\\\kept", 7]')
    code, outcome = probe(install, "recover", WW_OFF, SID)
    assert code == 1
    assert outcome["message"] == ("parse ACL lease: type error at line 1, column 14: "
                                  "the lease must hold only strings, not a number")
    lease.write_bytes(b"\xef\xbb\xbf[]")
    code, outcome = probe(install, "recover", WW_OFF, SID)
    assert outcome["message"].startswith("parse ACL lease: parse error at line 1, column 1")
    assert lease.read_bytes() == b"\xef\xbb\xbf[]"
    assert icacls.calls() == []


def test_the_lease_is_in_place_before_the_first_grant(install, icacls):
    workspace = directory(install, "w")
    temp = directory(install, "t")
    icacls.snapshot_leases()
    assert probe(install, "write-lease", WW_OFF, workspace, temp)[0] == 0
    assert probe(install, "grant-plan", workspace, SID, "read_only", temp)[0] == 0
    assert icacls.lease_snapshot() == {f"{WW_OFF}.json": json.dumps([workspace, temp],
                                                                     separators=(",", ":"))}


def test_a_flood_of_output_neither_stalls_nor_is_held(install, icacls):
    workspace = directory(install, "w")
    # A megabyte of standard error before 100 MiB of standard output: a
    # runner that drained the pipes one after the other would stall on one of
    # them, and one that kept standard output would grow by 100 MiB.
    icacls.fill_stderr(1024)
    icacls.flood_stdout(100)
    icacls.fail(workspace, 5, b"Access is denied.\r\n")
    code, outcome = probe(install, "grant", workspace, SID, "m")
    assert code == 1
    prefix = f"workspace ACL grant failed for {workspace}: "
    assert outcome["message"] == prefix + "e" * (1 << 20) + "Access is denied."
    # Measured: about 14 MB when standard output is dropped, about 150 MB
    # when it is kept.
    assert outcome["peak_working_set"] < 48 << 20
