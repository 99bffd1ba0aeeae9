"""The kill-on-close job half of the launch, which Wine can run: job_probe.exe
starts an unconfined sandbox_child.exe the way a run starts its command."""

import time
from pathlib import Path

import pytest

from harness import CALLER, to_windows


def probe(install, caller: str, *child_args: str, timeout: float = 120):
    return install.run(caller, to_windows(install.cwd), install.program("sandbox_child.exe"),
                       *child_args, program=install.program("job_probe.exe"), timeout=timeout)


# A heartbeat ends by itself after this many beats (a minute).
LAST_BEAT = 1200


def ended_early(path: Path) -> bool:
    """True when the heartbeat in `path` has stopped rising, and was stopped
    rather than running to its own end."""
    before = path.read_text()
    time.sleep(0.6)
    return path.read_text() == before and int(before or 0) < LAST_BEAT


@pytest.mark.parametrize("code", [0, 3, 3221225477])
def test_exit_code_comes_back_unchanged(install, code):
    result = probe(install, CALLER, "exit", str(code))
    assert result.out == f"exit {code}\n"
    assert result.exit_code == code


def test_a_process_left_running_is_ended_when_the_job_closes(install):
    beat = install.root / "orphan.beat"
    result = probe(install, CALLER, "orphan", to_windows(beat), "4")
    assert result.out == "exit 4\n"
    assert beat.exists() and ended_early(beat)


def test_the_caller_going_away_ends_the_child_tree(install):
    pid_file = install.root / "caller.pid"
    caller = install.start("caller", to_windows(pid_file), "4000",
                           program=install.program("sandbox_child.exe"))
    try:
        # The file exists a moment before it holds the number.
        install.wait_until(lambda: pid_file.exists() and pid_file.read_text(), "the caller's pid",
                           30, running=caller)
        child_beat, grandchild_beat = install.root / "child.beat", install.root / "grandchild.beat"
        result = probe(install, pid_file.read_text(), "tree", to_windows(child_beat),
                       to_windows(grandchild_beat))
    finally:
        install.finish(caller, timeout=60)
    assert result.out == "error parent process exited; terminated the sandbox process tree\n"
    assert result.exit_code == 77
    assert ended_early(child_beat) and ended_early(grandchild_beat)


def test_a_caller_that_is_no_process_starts_no_child(install):
    beat = install.root / "child.beat"
    result = probe(install, "4000000000", "tree", to_windows(beat), to_windows(install.root / "g"))
    assert result.out.startswith("error open parent process failed: ")
    assert result.out.removeprefix("error open parent process failed: ").strip().isdigit()
    time.sleep(0.5)
    assert not beat.exists()


def test_the_child_inherits_its_standard_handles_and_nothing_else(install):
    leak = install.root / "leaked.txt"
    # The probe holds an inheritable handle on `leak`, as a helper does that
    # inherited one from a careless caller, and its own standard output is not
    # inheritable: the child must still write there, and never to `leak`.
    result = probe(install, CALLER, "leak", "@LEAK@" + to_windows(leak))
    assert result.out == "handle unusable\nexit 0\n"
    assert leak.read_bytes() == b""
