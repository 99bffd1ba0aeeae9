"""Figures for the helper under Wine, against the stand-ins. Prints figures
and verdicts against the targets; nothing here is a test.

- Processes started per command, counted from the stand-ins' logs, against
  the fewest the command needs.
- The helper's wall time against a baseline that makes the very same system
  calls the stand-ins record (the processes and the profile calls) and does
  nothing else (bench_baseline.exe, fed from the logs of the helper's own
  run), and against one that starts the processes alone, timed in turn, each
  under plain `wine`.
- Peak working set of a grant whose icacls floods its output, and of one
  that writes nothing.
- The walk for links that precedes every grant, on a generated tree of
  20,000 files in 2,000 directories: timed inside a probe under read_only
  (no count of a file's names) and workspace_write (one open per file for
  it), and as the difference between whole runs on that tree and on an
  empty workspace.
- The exe's size, as built and stripped, and its largest contributors."""

import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "wine"))

from stand_ins import logged_calls  # noqa: E402
from harness import (HELPER, PROGRAMS, STATE_VARIABLE, SYSTEM_HOMES, Install,  # noqa: E402
                     Wine, run_args, to_windows)

BENCH = REPO / "build" / "bench"
RATIO_TARGET = 1.10
MEMORY_TARGET_MIB = 16


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    load = ", ".join(f"{value:.1f}" for value in os.getloadavg())
    return f"{os.cpu_count()} cores, {cpu}, {wine}, {platform.platform()}, load average {load}"


def system_calls(install):
    """(kind, field...) of every system call of the helper's that a stand-in
    records and the baseline makes again: the profile calls and PowerShell
    from calls.log in their order, then every icacls call. PowerShell writes
    to the helper's own streams ("inherit"); icacls to pipes the helper reads
    ("capture")."""
    system = install.wine.system32
    powershell = system / SYSTEM_HOMES["powershell.exe"] / "powershell.exe"
    calls = []
    for call in logged_calls(install.stand_in_state):
        if call["tool"] == "powershell":
            calls.append(("inherit", to_windows(powershell), *call["argv"]))
        elif call["call"] == "CreateAppContainerProfile":
            calls.append(("create", call["name"], call["display_name"], call["description"]))
        elif call["call"] == "DeriveAppContainerSidFromAppContainerName":
            calls.append(("derive", call["name"]))
        elif call["call"] == "GetAppContainerFolderPath":
            calls.append(("folder", call["sid"]))
    return calls + [("capture", to_windows(system / "icacls.exe"), "icacls.exe", *args)
                    for args in install.icacls.calls()]


def processes(calls):
    return sum(call[0] in ("inherit", "capture") for call in calls)


def forget_calls(install):
    for name in ("calls.log", "icacls-calls.jsonl"):
        (install.stand_in_state / name).unlink(missing_ok=True)


def plain(install, program, args):
    """Runs a program directly under `wine`, as a caller would start it;
    yields its wall time and exit code (low 8 bits). Wine sets LOCALAPPDATA
    itself, so the helper keeps its state in the bench prefix's profile."""
    started = time.monotonic()
    # The stand-ins keep their logs where the variable says; the helper never
    # reads it.
    env = {**install.wine.env, STATE_VARIABLE: to_windows(install.stand_in_state)}
    code = subprocess.run(["wine", program, *args], env=env, cwd=install.cwd,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode
    return time.monotonic() - started, code


def baseline(install, name, calls):
    """The baseline's command line for a plan of these calls."""
    plan = install.root / f"baseline-plan-{name}.txt"
    plan.write_text("".join("\t".join(call) + "\n" for call in calls), encoding="utf-8")
    return [to_windows(PROGRAMS / "bench_baseline.exe"), to_windows(plan)]


def side_by_side(install, name, args, expected, pairs):
    """The helper against the baseline that makes all its recorded system
    calls (the target's ratio), and against one that starts its processes
    only, which shows what the profile calls cost apart."""
    forget_calls(install)
    _, code = plain(install, install.helper, args)
    calls = system_calls(install)
    plans = {"all": baseline(install, "all", calls),
             "processes": baseline(install, "processes",
                                   [c for c in calls if c[0] in ("inherit", "capture")])}
    times = {"helper": [], "all": [], "processes": []}
    for _ in range(pairs):
        times["helper"].append(plain(install, install.helper, args)[0])
        for plan, line in plans.items():
            seconds, baseline_code = plain(install, line[0], line[1:])
            if baseline_code != 0:
                sys.exit(f"the baseline failed for {name} with exit code {baseline_code}")
            times[plan].append(seconds)
    # The runs of one round ran back to back, so their ratio is the one least
    # disturbed by whatever else the machine is doing.
    ratio = {plan: statistics.median(h / r for h, r in zip(times["helper"], times[plan]))
             for plan in plans}
    a, b, p = (statistics.median(times[key]) * 1000 for key in ("helper", "all", "processes"))
    verdict = "met" if ratio["all"] <= RATIO_TARGET else "MISSED"
    started = processes(calls)
    count = "equal" if started == expected else "NOT EQUAL"
    print(f"  {name:<22} exit {code:2}  processes {started:2} (fewest {expected:2}, {count})"
          f"  helper {a:5.0f} ms  baseline {b:5.0f} ms  ratio {ratio['all']:4.2f} ({verdict});"
          f"  processes alone {p:5.0f} ms, ratio {ratio['processes']:4.2f}")


def commands(wine, pairs):
    print(f"processes started and wall time against the baselines (medians of {pairs} rounds, "
          f"target ratio <= {RATIO_TARGET:.2f} against the one that makes every recorded "
          "system call; a run stops at the launch under Wine, so no child is counted)")
    install = Install(wine, BENCH / "machines" / "commands")
    side_by_side(install, "status, not set up", ["status"], 0, pairs)
    _, code = plain(install, install.helper, ["setup"])
    assert code == 0, "setup failed"
    side_by_side(install, "setup", ["setup"], 4, pairs)
    side_by_side(install, "status, ready", ["status"], 1, pairs)
    # A living caller: the session's idle Wine process.
    workspace = install.root / "workspace"
    for count in (0, 3):
        roots = [install.root / f"root{i}" for i in range(count)]
        for root in [workspace, *roots]:
            root.mkdir(exist_ok=True)
        args = run_args(workspace, roots=roots, parent=wine.keeper_pid,
                        command=("cmd.exe", "/c", "exit 0"))
        # 1 PowerShell check, W+2 grants and as many revocations.
        side_by_side(install, f"run, {count} writable roots", args, 1 + 2 * (count + 2), pairs)


def memory(wine):
    print(f"\npeak working set of a process running one grant (target <= {MEMORY_TARGET_MIB} MiB)")
    for name, stdout_mib, stderr_kib in (("100 MiB out, 1 MiB err", 100, 1024),
                                         ("no output", 0, 0)):
        install = Install(wine, BENCH / "machines" / f"memory-{stdout_mib}")
        if stdout_mib:
            install.icacls.flood_stdout(stdout_mib)
            install.icacls.fill_stderr(stderr_kib)
        target = install.root / "w"
        target.mkdir(exist_ok=True)
        started = time.monotonic()
        result = install.run("grant", to_windows(target), "S-1-15-2-1", "m",
                             program=install.program("acl_probe.exe"))
        seconds = time.monotonic() - started
        outcome = json.loads(result.out)
        peak = outcome["peak_working_set"] / (1 << 20)
        verdict = "met" if peak <= MEMORY_TARGET_MIB else "MISSED"
        print(f"  {name:<24} {peak:6.1f} MiB ({verdict}), private {outcome['peak_private'] / (1 << 20):5.1f}"
              f" MiB, {seconds * 1000:5.0f} ms, grant {'ok' if outcome['ok'] else 'failed'}")


def generated_tree(root):
    """The acceptance suite's tree: 50 directories of 39 each, 10 files in
    every one of the 2,000."""
    if (root / "t49" / "s38" / "f9.js").exists():
        return
    for top in range(50):
        for sub in [None, *range(39)]:
            here = root / f"t{top}" if sub is None else root / f"t{top}" / f"s{sub}"
            here.mkdir(parents=True, exist_ok=True)
            for file in range(10):
                (here / f"f{file}.js").write_text("module.exports = 1;\n")


def link_walk(wine, pairs):
    print("\nthe walk for links before the grants, 20,000 files in 2,000 directories (medians)")
    install = Install(wine, BENCH / "machines" / "walk")
    tree, empty = install.root / "tree", install.root / "empty"
    generated_tree(tree)
    empty.mkdir(exist_ok=True)
    probe = install.program("acl_probe.exe")
    # read_only counts no names; workspace_write opens every file once for its
    # count of names. Alternated, so that both meet the same load.
    figures = {}
    for _ in range(pairs):
        for name, workspace in (("empty workspace", empty), ("generated tree", tree)):
            for preset in ("read_only", "workspace_write"):
                result = install.run("walk", to_windows(workspace), preset, program=probe)
                outcome = json.loads(result.out)
                assert outcome["ok"], outcome
                figures.setdefault((name, preset), []).append(outcome["milliseconds"])
    for (name, preset), walks in figures.items():
        print(f"  in process, {name:<16} {preset:<16} {statistics.median(walks):6.0f} ms "
              f"(range {min(walks)}-{max(walks)} ms over {pairs} walks)")
    # Whole runs, which stop at the launch under Wine; the icacls stand-in
    # does not walk the tree, so the difference is the helper's own.
    _, code = plain(install, install.helper, ["setup"])
    assert code == 0, "setup failed"
    differences = []
    for _ in range(pairs):
        times = {}
        for name, workspace in (("empty", empty), ("tree", tree)):
            args = run_args(workspace, parent=wine.keeper_pid, command=("cmd.exe", "/c", "exit 0"))
            times[name], code = plain(install, install.helper, args)
            assert code == 77, f"the run on the {name} workspace ended {code}, not at the launch"
        differences.append(times["tree"] - times["empty"])
    print(f"  whole run on the tree minus on an empty workspace: "
          f"{statistics.median(differences) * 1000:6.0f} ms "
          f"(range {min(differences) * 1000:.0f}-{max(differences) * 1000:.0f} ms over {pairs} pairs)")


def size():
    stripped = BENCH / "tessarin-sandbox.stripped.exe"
    subprocess.run(["x86_64-w64-mingw32-strip", "-o", str(stripped), str(HELPER)], check=True)
    print(f"\nexe size: {HELPER.stat().st_size / 1024:.0f} KiB as built, "
          f"{stripped.stat().st_size / 1024:.0f} KiB stripped")
    headers = subprocess.run(["x86_64-w64-mingw32-objdump", "-h", str(HELPER)],
                             capture_output=True, text=True, check=True).stdout
    sections = sorted(((int(f[2], 16), f[1]) for f in map(str.split, headers.splitlines())
                       if len(f) > 6 and f[1].startswith(".")), reverse=True)
    debug = sum(bytes_ for bytes_, name in sections if name.startswith(".debug"))
    print(f"  sections: debug information {debug / 1024:.0f} KiB, " + ", ".join(
        f"{name} {bytes_ / 1024:.0f} KiB" for bytes_, name in sections
        if not name.startswith(".debug") and bytes_ >= 8192))
    symbols = [line.split(maxsplit=3) for line in subprocess.run(
        ["x86_64-w64-mingw32-nm", "--size-sort", "-S", "-C", str(HELPER)],
        capture_output=True, text=True, check=True).stdout.splitlines()]
    code = [(int(f[1], 16), f[3]) for f in symbols
            if len(f) == 4 and f[2] in "tT" and not f[3].startswith(".")]
    groups = {}
    for bytes_, name in code:
        owner = next((key for key in ("nlohmann", "tessarin::", "std::") if key in name),
                     "C runtime, libgcc, unwinding")
        groups[owner] = groups.get(owner, 0) + bytes_
    print("  code by origin: " + ", ".join(
        f"{owner} {total / 1024:.0f} KiB" for owner, total in
        sorted(groups.items(), key=lambda item: -item[1])))
    print("  largest functions:")
    for bytes_, name in sorted(code, reverse=True)[:6]:
        print(f"    {bytes_ / 1024:5.1f} KiB  {name[:90]}")


def start_wine():
    wine = Wine(prefix=BENCH / "wine-prefix")
    wine.start()
    # The baseline makes the helper's profile calls, so it takes the stand-in
    # userenv.dll as the helper does.
    subprocess.run(["wine", "reg", "add",
                    r"HKCU\Software\Wine\AppDefaults\bench_baseline.exe\DllOverrides",
                    "/v", "userenv", "/d", "native", "/f"], env=wine.env,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=120)
    return wine


def main(pairs=9):
    print("machine:", machine())
    shutil.rmtree(BENCH / "machines", ignore_errors=True)
    wine = start_wine()
    for state in (wine.prefix / "drive_c" / "users").glob("*/AppData/Local/Tessarin"):
        shutil.rmtree(state)
    try:
        commands(wine, pairs)
        memory(wine)
        link_walk(wine, pairs)
    finally:
        wine.stop()
    size()


if __name__ == "__main__":
    main(max(9, int(sys.argv[1])) if len(sys.argv) > 1 else 9)
