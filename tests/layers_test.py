#!/usr/bin/env python3
"""Plants each kind of layering violation in a copy of src/ and checks that
check_layers.py names the file and line and fails; the untouched copy passes."""

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CHECK = ROOT / "scripts" / "check_layers.py"

# (file to append to, line appended, text the report must contain)
PLANTS = [
    ("base/text.cpp", '#include "platform/file_system.h"', "base includes"),
    ("acl/lease.cpp", '#include "cli/front_end.h"', "acl includes"),
    ("platform/win32/owners.h", '#include "run/launch.h"', "platform/win32 includes"),
    ("provision/setup.cpp", "#include <windows.h>", "outside src/platform/win32"),
    ("run/launch.cpp", '#include "platform/win32/owners.h"', "Win32-folder header"),
    ("cli/front_end.cpp", '#include "nowhere/x.h"', "names no layer"),
    ("acl/lease.cpp", "constexpr unsigned kWaitObject0 = 0;", "kWaitObject0 names a Win32"),
    ("run/run_sandboxed.cpp", "bool gone(long e) { return e == ERROR_ACCESS_DENIED; }",
     "ERROR_ACCESS_DENIED names a Win32"),
]


def run(src):
    return subprocess.run([sys.executable, str(CHECK), str(src)], capture_output=True, text=True)


def main():
    failures = []
    with tempfile.TemporaryDirectory() as temp:
        clean = run(ROOT / "src")
        if clean.returncode != 0:
            failures.append(f"the tree itself fails:\n{clean.stdout}")
        for index, (file, line, expected) in enumerate(PLANTS):
            copy = Path(temp) / str(index)
            shutil.copytree(ROOT / "src", copy)
            target = copy / file
            lines = target.read_text(encoding="utf-8").splitlines()
            target.write_text("\n".join(lines + [line]) + "\n", encoding="utf-8")
            result = run(copy)
            where = f"{file}:{len(lines) + 1}: "
            if result.returncode != 1 or not any(
                    out.startswith(where) and expected in out for out in result.stdout.splitlines()):
                failures.append(f"{file} + {line}: exit {result.returncode}, want 1 and "
                                f"'{where}...{expected}'; got:\n{result.stdout}")
    for failure in failures:
        print(failure)
    print(f"{len(PLANTS) + 1 - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
