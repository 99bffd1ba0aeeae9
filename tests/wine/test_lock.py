"""The Win32 named lock that serialises the runs of one identity."""

import pytest

from harness import to_windows

NAME = "Local\\Tessarin.Sandbox.Profile.Test"


@pytest.mark.parametrize("by_file", [False, True])
def test_holders_of_one_name_never_overlap_and_other_names_do(install, by_file):
    log = install.root / "lock.log"
    other_log = install.root / "other.log"
    probe = install.program("lock_probe.exe")
    # By file: each holder has a mutex name of its own, as in another logon
    # session, and only the lock file serialises them.
    names = [NAME + (f".Session{i}" if by_file else "") for i in range(3)]
    extra = ("file", to_windows(install.root / "identity.lock")) if by_file else ()
    started = [install.start(name, "700", to_windows(log), *extra, program=probe)
               for name in names]
    other = install.start(NAME + ".Other", "700", to_windows(other_log), program=probe)
    for each in started + [other]:
        install.finish(each, timeout=60)
    lines = log.read_text().splitlines()
    assert len(lines) == 6
    for take, drop in zip(lines[0::2], lines[1::2]):
        assert take.startswith("take ") and take.endswith(" 0")
        assert drop == "drop " + take.split()[1]
    assert other_log.read_text().splitlines()[0].endswith(" 0")


def test_a_lock_whose_holder_died_is_taken_over(install):
    log = install.root / "lock.log"
    probe = install.program("lock_probe.exe")
    # Held long enough that the waiter opens the mutex before the holder dies,
    # even when Wine is slow to start it on a loaded machine.
    holder = install.start(NAME, "5000", to_windows(log), "keep", program=probe)
    install.wait_until(lambda: log.exists() and log.read_text(), "the holder", 30, running=holder)
    # The waiter keeps the mutex alive when the holder dies without releasing.
    install.run(NAME, "0", to_windows(log), program=probe)
    install.finish(holder, timeout=60)
    first, second, drop = log.read_text().splitlines()
    assert first.endswith(" 0")
    assert second.endswith(" 128")  # WAIT_ABANDONED
    assert drop.startswith("drop ")


def test_a_lock_file_open_without_sharing_is_waited_for(install):
    log = install.root / "lock.log"
    lock = to_windows(install.root / "identity.lock")
    probe = install.program("lock_probe.exe")
    # A scanner has the file open, shared with nobody, long enough that the
    # run meets it even when Wine is slow to start the run.
    scanner = install.start(NAME + ".Scanner", "5000", to_windows(log), "unshared", lock,
                            program=probe)
    install.wait_until(lambda: log.exists() and log.read_text(), "the scanner", 30, running=scanner)
    install.run(NAME, "0", to_windows(log), "file", lock, program=probe)
    install.finish(scanner, timeout=60)
    scanner_take, scanner_drop, take, drop = log.read_text().splitlines()
    assert scanner_drop == "drop " + scanner_take.split()[1]
    assert take.startswith("take ") and drop == "drop " + take.split()[1]
