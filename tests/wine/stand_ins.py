"""Drives and reads the stand-in icacls.exe and powershell.exe through the
files they keep in an Install's stand-in directory (their sources in
tests/wine/programs document the files). Both read a control file of
directives, one a line, fields separated by one tab."""

from __future__ import annotations

import json
from pathlib import Path


def _escape(data: bytes) -> str:
    return "".join("\\\\" if byte == 0x5C else chr(byte) if 0x20 <= byte < 0x7F
                   else f"\\x{byte:02x}" for byte in data)


def _json_lines(path: Path) -> list:
    return ([json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]
            if path.exists() else [])


def logged_calls(directory: Path) -> list[dict]:
    """calls.log: every call of the userenv and PowerShell stand-ins, in the
    order they ended."""
    return _json_lines(directory / "calls.log")


class _Controlled:
    CONTROL = ""

    def __init__(self, directory: Path):
        self.dir = directory
        self._directives: list[str] = []

    def _control(self, *fields) -> None:
        self._directives.append("\t".join(map(str, fields)))
        (self.dir / self.CONTROL).write_text("\n".join(self._directives) + "\n", encoding="utf-8")

    def reset(self) -> None:
        """Takes back every directive: calls from now on behave normally."""
        self._directives.clear()
        (self.dir / self.CONTROL).unlink(missing_ok=True)


class IcaclsStandIn(_Controlled):
    CONTROL = "icacls-control.txt"

    def fail(self, path: str, exit_code: int, stderr: bytes = b"", direction: str = "") -> None:
        """Makes every call on exactly `path` (for "grant" or "revoke" only,
        if given) print `stderr` and exit with `exit_code`."""
        self._control(f"fail-{direction}" if direction else "fail", path, exit_code,
                      _escape(stderr))

    def fail_call(self, number: int, exit_code: int, stderr: bytes = b"") -> None:
        """The same for the `number`-th call the log records, counting from 1."""
        self._control("fail-call", number, exit_code, _escape(stderr))

    def sleep(self, milliseconds: int) -> None:
        self._control("sleep-ms", milliseconds)

    def flood_stdout(self, mib: int) -> None:
        self._control("stdout-mib", mib)

    def fill_stderr(self, kib: int) -> None:
        self._control("stderr-kib", kib)

    def snapshot_leases(self) -> None:
        self._control("snapshot-leases")

    def events(self) -> list[dict]:
        return _json_lines(self.dir / "icacls-calls.jsonl")

    def calls(self) -> list[list[str]]:
        """The argument vector of every call, in the order the calls started."""
        return [e["args"] for e in self.events() if e["event"] == "start"]

    def ledger(self) -> list[tuple[str, str, str]]:
        """The (path, trustee, permission) entries in force."""
        return [tuple(entry) for entry in _json_lines(self.dir / "icacls-ledger.jsonl")]

    def lease_snapshot(self) -> dict[str, str] | None:
        """Lease file name -> content, as they were at the first grant; None
        when no grant has taken a snapshot."""
        path = self.dir / "icacls-leases.jsonl"
        return {e["name"]: e["content"] for e in _json_lines(path)} if path.exists() else None


class PowerShellStandIn(_Controlled):
    CONTROL = "powershell-control.txt"

    def fail(self, exit_code: int) -> None:
        """Makes every call exit with `exit_code` and change nothing."""
        self._control("exit", exit_code)

    def fail_call(self, number: int, exit_code: int) -> None:
        """The same for the `number`-th call only, counting from 1."""
        self._control("exit-call", number, exit_code)

    def disable(self, rule: str) -> None:
        """The check sees the rule named `rule` as disabled."""
        self._control("disable", rule)

    def sleep(self, milliseconds: int) -> None:
        """Every call sleeps this long once it has counted itself."""
        self._control("sleep-ms", milliseconds)

    def calls(self) -> list[dict]:
        """What calls.log records of each call that ended, in that order."""
        return [call for call in logged_calls(self.dir) if call["tool"] == "powershell"]

    def started(self) -> int:
        """How many calls have started: each appends one line to the tally
        in its first statement."""
        count = self.dir / "powershell-count.txt"
        return count.read_text().count("\n") if count.exists() else 0
