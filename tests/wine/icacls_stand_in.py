"""Drives and reads the stand-in icacls.exe through the files it keeps in an
Install's stand-in directory (tests/wine/programs/icacls.cpp documents them)."""

from __future__ import annotations

import json
from pathlib import Path


def _escape(data: bytes) -> str:
    out = []
    for byte in data:
        char = chr(byte)
        if char == "\\":
            out.append("\\\\")
        elif 0x20 <= byte < 0x7F:
            out.append(char)
        else:
            out.append(f"\\x{byte:02x}")
    return "".join(out)


class IcaclsStandIn:
    def __init__(self, install):
        self.dir: Path = install.stand_in_state
        self._directives: list[str] = []

    def _control(self, line: str) -> None:
        self._directives.append(line)
        (self.dir / "icacls-control.txt").write_text("\n".join(self._directives) + "\n",
                                                     encoding="utf-8")

    def fail(self, path: str, exit_code: int, stderr: bytes = b"", direction: str = "") -> None:
        """Makes every call on exactly `path` (for "grant" or "revoke" only,
        if given) print `stderr` and exit with `exit_code`."""
        key = f"fail-{direction}" if direction else "fail"
        self._control(f"{key}\t{path}\t{exit_code}\t{_escape(stderr)}")

    def fail_call(self, number: int, exit_code: int, stderr: bytes = b"") -> None:
        """The same for the `number`-th call the log records, counting from 1."""
        self._control(f"fail-call\t{number}\t{exit_code}\t{_escape(stderr)}")

    def sleep(self, milliseconds: int) -> None:
        self._control(f"sleep-ms\t{milliseconds}")

    def flood_stdout(self, mib: int) -> None:
        self._control(f"stdout-mib\t{mib}")

    def fill_stderr(self, kib: int) -> None:
        self._control(f"stderr-kib\t{kib}")

    def snapshot_leases(self) -> None:
        self._control("snapshot-leases")

    def events(self) -> list[dict]:
        log = self.dir / "icacls-calls.jsonl"
        if not log.exists():
            return []
        return [json.loads(line) for line in log.read_text(encoding="utf-8").splitlines()]

    def calls(self) -> list[list[str]]:
        """The argument vector of every call, in the order the calls started."""
        return [e["args"] for e in self.events() if e["event"] == "start"]

    def ledger(self) -> list[tuple[str, str, str]]:
        """The (path, trustee, permission) entries in force."""
        path = self.dir / "icacls-ledger.jsonl"
        if not path.exists():
            return []
        return [tuple(json.loads(line)) for line in path.read_text(encoding="utf-8").splitlines()]

    def lease_snapshot(self) -> dict[str, str] | None:
        """Lease file name -> content, as they were at the first grant; None
        when no grant has taken a snapshot."""
        path = self.dir / "icacls-leases.jsonl"
        if not path.exists():
            return None
        entries = [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]
        return {e["name"]: e["content"] for e in entries}
