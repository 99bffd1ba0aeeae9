"""Figures for the helper under Wine: how long each command takes, end to end
(one Wine process start for run_and_report plus the helper and its tools), and
what a tool that floods its output costs the helper in time and memory. Prints
figures only; nothing here passes or fails."""

import json
import shutil
import statistics
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "wine"))

from harness import PROGRAMS, Install, Wine, to_windows  # noqa: E402
from icacls_stand_in import IcaclsStandIn  # noqa: E402

BENCH = REPO / "build" / "bench"


def timed(install, *args, program=None):
    started = time.monotonic()
    result = install.run(*args, program=program)
    return time.monotonic() - started, result


def figure(name, seconds, note=""):
    values = sorted(seconds)
    print(f"  {name:<48} median {statistics.median(values) * 1000:7.0f} ms"
          f"   min {values[0] * 1000:6.0f} ms   n={len(values)}  {note}")


def run_args(workspace, roots):
    args = ["run", "--workspace", to_windows(workspace), "--cwd", to_windows(workspace),
            "--preset", "workspace_write", "--parent-pid", "@PARENT_PID@"]
    for root in roots:
        args += ["--writable-root", to_windows(root)]
    return [*args, "--", "cmd.exe", "/c", "exit 0"]


def main(repeats=7):
    shutil.rmtree(BENCH / "machines", ignore_errors=True)
    wine = Wine(prefix=BENCH / "wine-prefix")
    wine.start()
    try:
        print("command (under Wine 8, against the stand-ins)")
        fresh = Install(wine, BENCH / "machines" / "fresh")
        figure("status, not set up", [timed(fresh, "status")[0] for _ in range(repeats)])
        figure("setup (4 profiles, 4 PowerShell runs, marker)",
               [timed(fresh, "setup")[0] for _ in range(repeats)])
        figure("status, ready (1 PowerShell run)",
               [timed(fresh, "status")[0] for _ in range(repeats)])
        for count in (0, 3):
            roots = []
            for i in range(count):
                root = fresh.root / f"root{i}"
                root.mkdir(exist_ok=True)
                roots.append(root)
            workspace = fresh.root / "workspace"
            workspace.mkdir(exist_ok=True)
            grants = 2 + count
            figure(f"run to the launch, {count} writable roots",
                   [timed(fresh, *run_args(workspace, roots))[0] for _ in range(repeats)],
                   f"({grants} grants + {grants} revocations)")

        print("\na tool that writes 100 MiB to standard output")
        flood = Install(wine, BENCH / "machines" / "flood")
        shutil.copy2(PROGRAMS / "acl_probe.exe", flood.bin / "acl_probe.exe")
        icacls = IcaclsStandIn(flood)
        icacls.flood_stdout(100)
        target = flood.root / "w"
        target.mkdir()
        seconds, result = timed(flood, "grant", to_windows(target), "S-1-15-2-1", "m",
                                program=to_windows(flood.bin / "acl_probe.exe"))
        outcome = json.loads(result.out)
        print(f"  one grant through it                             {seconds * 1000:7.0f} ms"
              f"   {100 / seconds:6.0f} MiB/s")
        print(f"  peak working set of the process running it       "
              f"{outcome['peak_working_set'] / (1 << 20):7.1f} MiB")
    finally:
        wine.stop()


if __name__ == "__main__":
    main()
