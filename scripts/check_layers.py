#!/usr/bin/env python3
"""Keeps the source tree a stack: each folder under src/ includes only itself
and the folders below it, and only the Win32 folder (with main.cpp, which
hands it to the front end) sees <windows.h> or a Win32-folder header. Nor
does code outside that folder name a Win32 wait result, error code or HRESULT:
the platform interfaces give those outcomes names of their own.

Usage: check_layers.py [SOURCE_ROOT]   (default: the src/ beside this script)
Prints one line per violation, "file:line: message", and exits 1 if any.
"""

import re
import sys
from pathlib import Path

# Top to bottom. The Win32 folder implements the platform interfaces, so it
# sits right above them; main.cpp is the one place that reaches it.
ORDER = ["cli", "run", "acl", "provision", "platform/win32", "platform", "base"]

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
WINDOWS_HEADER = re.compile(r"^(windows|winbase|winnt|windef|winuser|winternl|ntstatus|"
                            r"userenv|sddl|aclapi|shellapi|objbase|combaseapi|psapi)\.h$",
                            re.IGNORECASE)
# Names of Win32 numbers, and the house's own spelling of them as constants.
# Comments may speak of them; code may not.
WIN32_NUMBER = re.compile(r"\b(WAIT_[A-Z0-9_]+|ERROR_[A-Z0-9_]+|HRESULT\w*|S_OK|S_FALSE|"
                          r"E_[A-Z]{3,}\w*|STATUS_[A-Z0-9_]+|k(?:Wait|Error|Hresult)[A-Z]\w*)\b")


def layer_of(relative):
    """The layer a path below src/ belongs to: its longest matching folder."""
    text = relative.replace("\\", "/")
    for name in sorted(ORDER, key=len, reverse=True):
        if text.startswith(name + "/"):
            return name
    return None


def check(root):
    root = Path(root)
    problems = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in {".h", ".cpp", ".rc"} or not path.is_file():
            continue
        relative = path.relative_to(root).as_posix()
        own = layer_of(relative)
        is_main = relative == "main.cpp"
        if own is None and not is_main:
            problems.append(f"{relative}:1: file outside every layer ({', '.join(ORDER)})")
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            where = f"{relative}:{number}"
            code = line.split("//", 1)[0]
            named = WIN32_NUMBER.search(code)
            if named and own != "platform/win32":
                problems.append(f"{where}: {named.group(1)} names a Win32 number outside "
                                f"src/platform/win32")
            match = INCLUDE.match(line)
            if not match:
                continue
            angle, target = match.group(1) == "<", match.group(2)
            if angle:
                if WINDOWS_HEADER.match(Path(target).name) and own != "platform/win32":
                    problems.append(f"{where}: <{target}> outside src/platform/win32")
                continue
            used = layer_of(target)
            if used is None:
                problems.append(f'{where}: "{target}" names no layer')
            elif used == "platform/win32" and own != "platform/win32" and not is_main:
                problems.append(f'{where}: "{target}" is a Win32-folder header')
            elif not is_main and ORDER.index(used) < ORDER.index(own):
                problems.append(f'{where}: {own} includes "{target}" from {used}, '
                                f"which is above it")
    return problems


def main(argv):
    root = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    problems = check(root)
    for problem in problems:
        print(problem)
    if problems:
        print(f"check_layers: {len(problems)} violation(s); the order is "
              f"{' > '.join(ORDER)}", file=sys.stderr)
        return 1
    print(f"check_layers: {root} keeps the order {' > '.join(ORDER)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
