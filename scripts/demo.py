"""The walk-through behind demo.sh; reuses the Wine test harness to boot a
private prefix and to give the helper a machine of its own."""

import re
import shutil
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "wine"))

from harness import CALLER, STAND_INS, SYSTEM_HOMES, Install, Wine, run_args  # noqa: E402

DEMO = REPO / "build" / "demo"


def shown(argument):
    if argument == CALLER:
        return "<pid of the caller>"
    return f'"{argument}"' if argument == "" or " " in argument or "\t" in argument else argument


def show(install, title, *args):
    print(f"\n# {title}")
    print(f"$ tessarin-sandbox {' '.join(shown(a) for a in args)}")
    result = install.run(*args)
    for name, data in (("stdout", result.stdout), ("stderr", result.stderr)):
        text = data.decode("utf-8", errors="replace")
        for line in text.splitlines() or ([] if not data else [""]):
            print(f"  {name}: {line}")
    print(f"  exit code: {result.exit_code}")
    return result


def listing(title, base: Path, leave_out=(), contents=False):
    print(f"\n{title} ({base}):")
    if not base.exists():
        print("  (does not exist)")
        return
    paths = sorted(p for p in base.rglob("*") if p.is_file() and p.name not in leave_out)
    for path in paths:
        print(f"  {path.relative_to(base)}  ({path.stat().st_size} bytes)")
        if contents and path.stat().st_size <= 4096:
            for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
                print(f"    | {line}")
    if not paths:
        print("  (nothing)")


def tool_calls(install):
    """What the run asked of icacls, one line per call, and what is left."""
    if not (install.stand_in_state / "icacls-calls.jsonl").exists():
        return
    print("\nicacls calls, in order (the identity's SID shortened to S-1-15-2-...):")
    for args in install.icacls.calls():
        args = [re.sub(r"S-1-15-2(-\d+)+", "S-1-15-2-...", a) for a in args]
        print("  icacls " + " ".join(shown(a) for a in args))
    print(f"grants still in force afterwards: {len(install.icacls.ledger()) or 'none'}")


def main():
    shutil.rmtree(DEMO / "machine", ignore_errors=True)
    print(f"booting a Wine prefix in {DEMO / 'wine-prefix'} (slow the first time)...")
    wine = Wine(prefix=DEMO / "wine-prefix")
    wine.start()
    try:
        install = Install(wine, DEMO / "machine")
        present = [name for name in STAND_INS
                   if (wine.system32 / SYSTEM_HOMES[name] / name).exists()]
        print(f"install directory: {install.bin}")
        print(f"  stand-ins in the prefix's system directory ({wine.system32}): "
              f"{', '.join(present) or 'none'}")

        workspace = install.root / "workspace"
        workspace.mkdir()
        show(install, "is this machine ready?", "status")
        show(install, "provision it (normally from an elevated terminal)", "setup")
        show(install, "ready now?", "status")
        show(install, "one confined command, its exit code passed through",
             *run_args(workspace, command=("cmd.exe", "/c",
                                           "echo hello from the sandbox>hello.txt&", "exit", "7")))

        tool_calls(install)
        listing("state directory", install.state_dir, contents=True)
        listing("workspace", workspace, contents=True)
        listing("what the stand-ins recorded", install.stand_in_state)
    finally:
        wine.stop()


if __name__ == "__main__":
    main()
