"""The Win32 tool runner, driven by tool_probe.exe against Wine's cmd.exe, and
the Win32 file system's tree removal, driven by fs_probe.exe."""

import os
import shutil
import time

import pytest

from harness import PROGRAMS, to_windows


def probe(install, *args):
    return install.run(*args, program=install.program("tool_probe.exe"))


def test_capture_keeps_stderr_and_the_exit_code(install):
    result = probe(install, "capture", "cmd.exe", "/c", "echo out & echo complaint 1>&2 & exit 3")
    exit_line, stderr_line = result.out.splitlines()
    assert exit_line == "exit 3"
    captured = bytes.fromhex(stderr_line.removeprefix("stderr "))
    assert captured.rstrip() == b"complaint" and captured.endswith(b"\r\n")


# A standard handle that names nothing is the null device for the tool; and
# the tool starts in the system directory, never in the helper's own.
@pytest.mark.parametrize("mode", ["inherit", "inherit-stale-stderr"])
def test_inherit_passes_output_through(install, mode):
    result = probe(install, mode, "cmd.exe", "/c", "cd & exit 5")
    assert result.out.replace("\r\n", "\n").lower() == "c:\\windows\\system32\nexit 5\n"


def test_a_tool_ends_with_the_process_it_was_given(install):
    pid_file, beat = install.root / "watched.pid", install.root / "tool.beat"
    watched = install.start("caller", to_windows(pid_file), "8000",
                            program=install.program("sandbox_child.exe"))
    try:
        install.wait_until(lambda: pid_file.exists() and pid_file.read_text(), "the watched pid",
                           30, running=watched)
        result = probe(install, "capture-while", pid_file.read_text(), "sandbox_child.exe",
                       "heartbeat", to_windows(beat))
    finally:
        install.finish(watched, timeout=60)
    # Ended with its job once the watched process ended, long before its minute.
    assert result.out.startswith("error ") and result.out.endswith("(os error 1067)\n")
    before = beat.read_text()
    time.sleep(0.6)
    assert beat.read_text() == before and int(before) < 1200


def test_a_tool_is_never_taken_from_the_current_directory(install):
    shutil.copy2(PROGRAMS / "run_and_report.exe", install.cwd / "planted.exe")
    result = probe(install, "capture", "planted.exe")
    assert result.out == "error program not found\n"


def test_tree_removal_clears_read_only_entries_and_reaches_every_name(install):
    tree = install.root / "tree"
    (tree / "sub").mkdir(parents=True)
    for path in (tree / "sub" / "locked.txt", tree / "locked.txt"):
        path.write_text("x")
        path.chmod(0o444)  # Wine shows this as FILE_ATTRIBUTE_READONLY
    # Names that the usual path rules would alter or refuse, as a child can
    # make them: trailing dots and spaces, device names, an unpaired
    # surrogate (its bytes as Wine keeps them), and a path past MAX_PATH.
    for name in (b"dot.", b"space ", b"dots.. .", b"CON", b"aux.txt", b"lone\xed\xa0\x80"):
        (tree / os.fsdecode(name)).write_text("x")
    deep = tree.joinpath(*["d" * 50] * 6)
    deep.mkdir(parents=True)
    (deep / "end.").write_text("x")
    result = install.run("remove-tree", to_windows(tree), program=install.program("fs_probe.exe"))
    assert result.out == "ok\n"
    assert not tree.exists()
