"""Runs the real tessarin-sandbox.exe under Wine, against stand-ins for what
Wine lacks (userenv.dll's AppContainer profile functions, powershell.exe and
icacls.exe), each test in an install directory and LOCALAPPDATA of its own.

The stand-ins are installed where Windows keeps the real ones, in the prefix's
system directory, which the helper looks at first. They keep their files in
the directory that STAND_IN_STATE_DIR names: each test sets it to a directory
of its own, so that tests share no stand-in state. The helper never reads
that variable."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import time
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import NamedTuple

from stand_ins import IcaclsStandIn, PowerShellStandIn

REPO = Path(__file__).resolve().parents[2]
BUILD = REPO / "build" / "windows"
HELPER = BUILD / "tessarin-sandbox.exe"
PROGRAMS = BUILD / "test-programs"
PREFIX = REPO / "build" / "wine-prefix"
# A second machine whose system directory has userenv.dll but neither tool,
# for the tests of what happens where Windows lacks one.
BARE_PREFIX = REPO / "build" / "wine-prefix-without-tools"
# Each stand-in, and where Windows keeps the real one below the system directory.
SYSTEM_HOMES = {"userenv.dll": ".", "icacls.exe": ".",
                "powershell.exe": "WindowsPowerShell/v1.0"}
STAND_INS = tuple(SYSTEM_HOMES)
STATE_VARIABLE = "STAND_IN_STATE_DIR"
# Where Debian's Wine keeps its own Windows DLLs.
WINE_DLLS = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")

# Tessarin.Sandbox.v1.ReadOnly.Offline and its three siblings, in the order
# setup registers them.
RO_OFF, RO_ON, WW_OFF, WW_ON = PROFILES = [f"Tessarin.Sandbox.v1.{preset}.{network}"
                                           for preset in ("ReadOnly", "WorkspaceWrite")
                                           for network in ("Offline", "Online")]
# run_and_report.exe puts its own process id in place of this argument.
CALLER = "@PARENT_PID@"
# Wine 8 has no AppContainer attribute and fails it with ERROR_NOT_SUPPORTED:
# every run carried to its end fails its launch so.
LAUNCH_FAILS = "set AppContainer process attribute failed: 50"


def to_windows(path: Path | str) -> str:
    """The Windows form of a Linux path, as Wine's Z: drive shows it."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def from_windows(path: str) -> Path:
    assert path[:2].upper() == "Z:", path
    return Path(path[2:].replace("\\", "/"))


def run_args(workspace: Path | str, *, cwd: Path | str | None = None,
             preset: str = "workspace_write", roots=(), readable=(), network: bool = False,
             parent: str = CALLER, command=("cmd.exe", "/c", "exit 3")) -> list[str]:
    """The words of a `run`; a path given as text is passed as it is."""
    def shown(path):
        return path if isinstance(path, str) else to_windows(path)
    args = ["run", "--workspace", shown(workspace), "--cwd", shown(cwd or workspace),
            "--preset", preset, "--parent-pid", parent]
    for option, paths in (("--writable-root", roots), ("--readable-root", readable)):
        for root in paths:
            args += [option, shown(root)]
    return [*args, *(["--network"] if network else []), "--", *command]


class WineMissing(RuntimeError):
    pass


class WineStartFailure(RuntimeError):
    """Wine, under load, now and then fails to start a process before any code
    of ours runs in it: CreateProcessW fails with ERROR_INTERNAL_ERROR (1359)
    because the new process died in its start-up, or run_and_report.exe never
    reaches its first statement (see reported_exit_code). Windows has neither
    failure. A test that meets one is run again (see pytest.ini); any
    other failure is reported as it is."""


# How that failure reads in the output of the helper (a tool it could not
# start), of run_and_report.exe, and of the launch's job unit. Programs that
# deal with it themselves, such as the command-line round trip, say it in
# other words.
START_FAILURES = (b"(os error 1359)", b"run_and_report: CreateProcessW failed: 1359",
                  b"CreateProcessW in AppContainer failed: 1359")


# glibc's dynamic loader, in the Unix process under some Wine process of the
# run, now and then fails an assertion of its own as that process exits and
# writes this line straight to the shared stderr. It is written after the
# Windows process has ended and its exit code is recorded, and none of our
# programs writes it, so it is not our output: it is dropped from what the
# tests compare, and counted.
LOADER_ASSERTION = re.compile(rb"^Inconsistency detected by ld\.so: [^\n]*\n?", re.MULTILINE)
# How many were dropped; a list, because the soak runs installs side by side
# and appending is atomic.
loader_lines_dropped: list[int] = []


def without_loader_lines(stream: bytes) -> bytes:
    kept, dropped = LOADER_ASSERTION.subn(b"", stream)
    loader_lines_dropped.extend([dropped] if dropped else [])
    return kept


def check_for_start_failure(stdout: bytes, stderr: bytes) -> None:
    for stream in (stdout, stderr):
        if any(failure in stream for failure in START_FAILURES):
            raise WineStartFailure(stream.decode("utf-8", errors="replace").strip())


# The readiness check reports any failure of its PowerShell, a start that
# Wine failed included, as missing rules. The stand-in counts itself in its
# first statement, so that report without a new count, while the stand-in is
# installed, means that Wine never ran it.
READINESS_FAILED = b"required WFP/firewall rules are missing or disabled"


def reported_exit_code(result: Path, wine_exit: int, stderr: bytes) -> int:
    """The exit code run_and_report.exe wrote to `result`. Its first act is to
    create that file, so a missing file (and no complaint of its own about
    writing it) means Wine ran none of our code: only then is it a start
    failure. Anything short of an exit code after that is a fault."""
    if not result.exists():
        if b"run_and_report:" in stderr:
            raise AssertionError(f"run_and_report failed: {stderr.decode(errors='replace')}")
        raise WineStartFailure(f"wine exited {wine_exit} before run_and_report.exe ran: "
                               f"{stderr.decode(errors='replace')}")
    text = result.read_text()
    if not text.isdigit():
        raise AssertionError(
            f"no exit code reported ({'program started' if text else 'program not started'}, "
            f"wine exited {wine_exit}): {stderr.decode(errors='replace')}")
    return int(text)


class Wine:
    """A private prefix with a wineserver kept alive for the whole session."""

    def __init__(self, prefix: Path = PREFIX, stand_ins=STAND_INS):
        self.prefix = prefix
        self.stand_ins = stand_ins
        self.system32 = prefix / "drive_c" / "windows" / "system32"
        self.env = dict(os.environ)
        self.env.update(
            WINEPREFIX=str(prefix),
            WINEDEBUG="-all",
            # The stand-in tools in the system directory, not Wine's built-in
            # ones of the same names; no Mono or Gecko installer is wanted.
            WINEDLLOVERRIDES="icacls.exe,powershell.exe=n;mscoree,mshtml=",
            # Linux arguments reach Windows programs decoded as UTF-8, whatever
            # the locale of the machine that runs the tests.
            LC_ALL="C.UTF-8",
        )
        self.env.pop("DISPLAY", None)
        self.keeper: subprocess.Popen | None = None
        self.keeper_pid_file = prefix.parent / f"{prefix.name}-keeper.pid"

    def start(self) -> None:
        if shutil.which("wine") is None or shutil.which("wineserver") is None:
            raise WineMissing("wine is not installed: these tests need Wine 8 (Debian package wine)")
        for program in [HELPER, PROGRAMS / "run_and_report.exe", PROGRAMS / "sandbox_child.exe"]:
            if not program.exists():
                raise RuntimeError(f"{program} is missing: build the windows preset first")
        self.prefix.parent.mkdir(parents=True, exist_ok=True)
        # Wine's own programs must never meet the stand-in userenv.dll: the
        # prefix boots with Wine's, and the stand-in is installed afterwards.
        wine_userenv = self.system32 / "userenv.dll"
        if wine_userenv.exists():
            shutil.copy2(WINE_DLLS / "userenv.dll", wine_userenv)
        # The first Wine process lends its standard handles to Wine's own
        # services, which would then hold the tests' pipes open: boot with
        # every stream on the null device.
        with open(os.devnull, "rb") as null_in, open(os.devnull, "wb") as null_out:
            # A persistent server, started first, lives until stop(); it
            # exits 2 when one is running already, which is fine.
            subprocess.run(["wineserver", "-p"], env=self.env, stdin=null_in, stdout=null_out,
                           stderr=null_out, check=False, timeout=60)
            subprocess.run(["wineboot", "-i"], env=self.env, stdin=null_in, stdout=null_out,
                           stderr=null_out, check=True, timeout=300)
            # One idle process lives for the whole session, outside every job
            # a test makes. While it runs, Wine keeps its own services up
            # instead of restarting them for every process, and a test that
            # ends a job's process tree cannot take them down with it (after
            # which every later process would boot the prefix again).
            self.keeper = subprocess.Popen(
                ["wine", str(PROGRAMS / "sandbox_child.exe"), "caller",
                 to_windows(self.keeper_pid_file), "2147483647"],
                env=self.env, stdin=null_in, stdout=null_out, stderr=null_out)
            # Only the helper takes the stand-in userenv.dll; Wine's own
            # programs keep their built-in one.
            for key, order in ((r"HKCU\Software\Wine\DllOverrides", "builtin"),
                               (rf"HKCU\Software\Wine\AppDefaults\{HELPER.name}\DllOverrides",
                                "native")):
                subprocess.run(["wine", "reg", "add", key, "/v", "userenv", "/d", order, "/f"],
                               env=self.env, stdin=null_in, stdout=null_out, stderr=null_out,
                               check=True, timeout=120)
        # Wine ships placeholder tools of these names; they make way for the
        # stand-ins, or for nothing where this machine lacks the tool.
        for name in ("icacls.exe", "powershell.exe"):
            for found in self.system32.rglob(name):
                found.unlink()
        for name in self.stand_ins:
            home = self.system32 / SYSTEM_HOMES[name]
            home.mkdir(parents=True, exist_ok=True)
            shutil.copy2(PROGRAMS / name, home / name)

    @property
    def keeper_pid(self) -> str:
        """The idle process's id: a caller that lives as long as the session."""
        return self.keeper_pid_file.read_text().strip()

    def stop(self) -> None:
        # Ending the server ends every Wine process, the keeper included.
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        if self.keeper is not None:
            try:
                self.keeper.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.keeper.kill()


class Started(NamedTuple):
    process: subprocess.Popen
    result: Path  # where run_and_report.exe writes the exit code
    powershell_starts: int  # the stand-in's count when it started


@dataclass
class Completed:
    exit_code: int
    stdout: bytes
    stderr: bytes

    @property
    def out(self) -> str:
        return self.stdout.decode("utf-8")

    @property
    def err(self) -> str:
        return self.stderr.decode("utf-8")


class Install:
    """One machine as a test sees it: an install directory holding the helper
    (and the stand-ins named in `beside`, as a planted copy or the only one),
    a LOCALAPPDATA, a current directory, and the directory the stand-ins keep
    their files in, all fresh."""

    def __init__(self, wine: Wine, root: Path, beside=()):
        self.wine = wine
        self.root = root
        self.bin = root / "bin"
        self.localappdata = root / "localappdata"
        self.cwd = root / "cwd"
        self.stand_in_state = root / "stand-ins"
        for directory in (self.bin, self.localappdata, self.cwd, self.stand_in_state):
            directory.mkdir(parents=True, exist_ok=True)
        self.icacls = IcaclsStandIn(self.stand_in_state)
        self.powershell = PowerShellStandIn(self.stand_in_state)
        shutil.copy2(HELPER, self.bin / HELPER.name)
        for name in beside:
            shutil.copy2(PROGRAMS / name, self.bin / name)

    @property
    def helper(self) -> str:
        return to_windows(self.bin / HELPER.name)

    def program(self, name: str) -> str:
        """The Windows path of test program `name`, copied to the install
        directory on first use."""
        if not (self.bin / name).exists():
            shutil.copy2(PROGRAMS / name, self.bin / name)
        return to_windows(self.bin / name)

    @property
    def state_dir(self) -> Path:
        return self.localappdata / "Tessarin" / "sandbox"

    def command(self, program: str, args, env=None, unset=()) -> tuple[list[str], Path]:
        result = self.root / f"exit-{uuid.uuid4().hex}.txt"
        argv = ["wine", str(PROGRAMS / "run_and_report.exe"), to_windows(result)]
        variables = {"LOCALAPPDATA": to_windows(self.localappdata),
                     STATE_VARIABLE: to_windows(self.stand_in_state)}
        variables.update(env or {})
        for name, value in variables.items():
            if name in unset:
                continue
            argv += ["--env", f"{name}={value}"]
        for name in unset:
            argv += ["--unset", name]
        argv += ["--", program, *args]
        return argv, result

    def run(self, *args: str, env=None, unset=(), timeout: float = 120,
            program: str | None = None) -> Completed:
        """Runs the helper (or `program`) to its end and yields its full exit
        code and the bytes of its two output streams."""
        argv, result = self.command(program or self.helper, args, env, unset)
        starts = self.powershell.started()
        completed = subprocess.run(argv, env=self.wine.env, cwd=self.cwd,
                                   stdin=subprocess.DEVNULL, capture_output=True,
                                   timeout=timeout)
        stderr = without_loader_lines(completed.stderr)
        check_for_start_failure(completed.stdout, stderr)
        self.check_readiness_started(starts, completed.stdout + stderr)
        return Completed(reported_exit_code(result, completed.returncode, stderr),
                         completed.stdout, stderr)

    def start(self, *args: str, env=None, unset=(), program: str | None = None) -> Started:
        """Starts the helper (or `program`) without waiting."""
        argv, result = self.command(program or self.helper, args, env, unset)
        starts = self.powershell.started()
        process = subprocess.Popen(argv, env=self.wine.env, cwd=self.cwd,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        return Started(process, result, starts)

    def finish(self, started: Started, timeout: float = 120) -> Completed:
        """Waits for a program from start() and yields what run() would. A
        Wine start failure, the silent one included, is raised as such, so
        that a test whose later checks would only see a run that never
        happened is run again rather than failed."""
        stdout, stderr = started.process.communicate(timeout=timeout)
        stderr = without_loader_lines(stderr)
        check_for_start_failure(stdout, stderr)
        self.check_readiness_started(started.powershell_starts, stdout + stderr)
        return Completed(reported_exit_code(started.result, started.process.returncode, stderr),
                         stdout, stderr)

    def check_readiness_started(self, starts_before: int, output: bytes) -> None:
        installed = self.wine.system32 / SYSTEM_HOMES["powershell.exe"] / "powershell.exe"
        if (READINESS_FAILED in output and installed.exists()
                and self.powershell.started() == starts_before):
            raise WineStartFailure(f"the readiness PowerShell never started: {output!r}")

    def wait_until(self, condition, what: str, seconds: float = 60,
                   running: Started | None = None) -> None:
        """Polls `condition` for `seconds` at most and, if given, only while
        `running` (from start()) runs; that program is then ended and
        finished, so that a Wine start failure is raised as such."""
        deadline = time.monotonic() + seconds
        while not condition():
            ended = running is not None and running.process.poll() is not None
            if ended or time.monotonic() > deadline:
                if running is not None:
                    running.process.kill()
                    what += f": {self.finish(running)}"
                raise AssertionError(f"{'ended' if ended else 'timed out'} before {what}")
            time.sleep(0.02)

    def files_under_localappdata(self) -> list[str]:
        return sorted(str(p.relative_to(self.localappdata)) for p in self.localappdata.rglob("*"))
