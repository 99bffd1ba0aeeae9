"""The helper's command line as a caller meets it: dispatch, argument errors,
the status line and the exit codes, byte for byte, under Wine."""

import pytest

from harness import run_args

NOT_READY = (
    '{"version":1,"ready":false,"capabilities":{"filesystem_isolation":false,'
    '"network_isolation":false,"process_isolation":true},'
    '"warning":"administrator initialization is required",'
    '"remediation":"Open an elevated terminal and run: tessarin-sandbox.exe setup --json"}\n'
)
USAGE = (
    "tessarin-sandbox: usage: tessarin-sandbox status | setup | run --workspace <dir> --cwd <dir> "
    "--preset <read_only|workspace_write> --parent-pid <pid> [--writable-root <dir>]... "
    "[--network] -- <command>...\n"
)
SETUP_DONE = '{"version":1,"ready":true}\n'
# run_and_report.exe turns this token into the unpaired surrogate U+D800.
LONE_SURROGATE = "@U+D800@"

ALL_VALUES = ("--workspace", "W", "--cwd", "C", "--preset", "read_only", "--parent-pid", "7")


def snapshot(install):
    """Everything under the install, LOCALAPPDATA and current directories,
    except the exit-code files of run_and_report itself."""
    entries = set()
    for base in (install.bin, install.localappdata, install.cwd, install.stand_in_state):
        for path in base.rglob("*"):
            stat = path.stat()
            entries.add((str(path.relative_to(install.root)), stat.st_size, stat.st_mtime_ns))
    return entries


def assert_one_error_line(result, message=None):
    assert result.stdout == b""
    assert result.stderr.startswith(b"tessarin-sandbox: ")
    assert result.stderr.endswith(b"\n") and result.stderr.count(b"\n") == 1
    assert b"\r" not in result.stderr
    if message is not None:
        assert result.err == f"tessarin-sandbox: {message}\n"


@pytest.mark.parametrize(
    "args",
    [(), ("",), ("Status",), ("STATUS",), ("Setup",), ("RUN",), ("help",), ("--help",),
     ("status ",), ("-- ", "status")],
    ids=repr,
)
def test_a_missing_or_unknown_command_word_prints_the_usage(install, args):
    before = snapshot(install)
    result = install.run(*args)
    assert result.exit_code == 2
    assert result.stdout == b""
    assert result.err == USAGE
    assert snapshot(install) == before


RUN_ERRORS = [
    (("run",), "missing --workspace"),
    (("run", "--", "status", "--cwd", "dir"), "missing --workspace"),
    (("run", "--parent-pid", "1", "--preset", "p", "--cwd", "c", "--", "x"), "missing --workspace"),
    (("run", "--workspace", "w", "--preset", "p", "--parent-pid", "1", "--", "x"), "missing --cwd"),
    (("run", "--workspace", "w", "--cwd", "c", "--parent-pid", "1", "--", "x"), "missing --preset"),
    (("run", "--workspace", "w", "--cwd", "c", "--preset", "p", "--", "x"), "missing --parent-pid"),
    (("run", *ALL_VALUES), "missing command after --"),
    (("run", *ALL_VALUES, "--"), "missing command after --"),
    (("run", "--workspace", "W", "--cwd"), "missing value after --cwd"),
    (("run", *ALL_VALUES, "--writable-root"), "missing value after --writable-root"),
    (("run", "-x", "--cwd"), "unknown argument: -x"),
    (("run", "--cwd=C", "--", "x"), "unknown argument: --cwd=C"),
    (("run", "--CWD", "C"), "unknown argument: --CWD"),
    (("run", "--Network"), "unknown argument: --Network"),
    (("run", "cmd.exe"), "unknown argument: cmd.exe"),
    (("run", ""), "unknown argument: "),
    (("run", "a b\t\"c\\"), "unknown argument: a b\t\"c\\"),
    (("run", "--w\u00f6rkspace\U0001F600"), "unknown argument: --w\u00f6rkspace\U0001F600"),
    (("run", "--parent-pid", "4294967296"), "invalid --parent-pid: 4294967296"),
    (("run", "--parent-pid", "-1"), "invalid --parent-pid: -1"),
    (("run", "--parent-pid", " 1"), "invalid --parent-pid:  1"),
    (("run", "--parent-pid", ""), "invalid --parent-pid: "),
    (("run", "--parent-pid", "+"), "invalid --parent-pid: +"),
    (("run", "--parent-pid", "\uff11"), "invalid --parent-pid: \uff11"),
    # The last value wins, so a valid one given later does not save a bad one
    # given earlier: the scan stops at the first error.
    (("run", "--parent-pid", "x", "--parent-pid", "1"), "invalid --parent-pid: x"),
]


@pytest.mark.parametrize("args,message", RUN_ERRORS, ids=[repr(a[1:]) for a, _ in RUN_ERRORS])
def test_run_argument_errors_stop_before_anything_happens(install, args, message):
    before = snapshot(install)
    result = install.run(*args)
    assert result.exit_code == 2
    assert_one_error_line(result, message)
    # No state directory, no readiness check, no tool started (the stand-ins
    # record every start in their files).
    assert install.files_under_localappdata() == []
    assert snapshot(install) == before


@pytest.mark.parametrize(
    "args",
    [("status",), ("status", "--json"), ("status", "extra", "words"), ("status", "run", "--"),
     ("status", "\u00e9\U0001F600")],
    ids=repr,
)
def test_status_on_a_fresh_machine(install, args):
    result = install.run(*args)
    assert result.exit_code == 0
    assert result.stderr == b""
    # Exactly one line of UTF-8 JSON: no byte-order mark, no carriage return.
    assert result.stdout == NOT_READY.encode("utf-8")


@pytest.mark.parametrize("args", [("setup",), ("setup", "--json"), ("setup", "--bogus", "x")],
                         ids=repr)
def test_setup_ignores_further_words(install, args):
    result = install.run(*args)
    # Whatever the machine allows, this is setup's answer and not the usage.
    assert result.exit_code in (0, 78), result
    if result.exit_code == 0:
        assert result.stdout == SETUP_DONE.encode()
        assert result.stderr == b""
    else:
        assert_one_error_line(result)
        assert result.err != USAGE


def test_run_hands_any_preset_on_and_reports_failure_with_77(install):
    workspace = install.root / "workspace"
    workspace.mkdir()
    # Setup never ran here, so the run fails after the front end, whatever
    # the preset; an unknown preset is not an argument error.
    for preset in ("read_only", "bogus"):
        result = install.run(*run_args(str(workspace), preset=preset,
                                       command=("cmd.exe", "/c", "exit", "3")))
        assert result.exit_code == 77, (preset, result)
        assert_one_error_line(result)


@pytest.mark.parametrize(
    "args",
    [(LONE_SURROGATE,), ("status", f"a{LONE_SURROGATE}b"), ("run", LONE_SURROGATE),
     ("run", *ALL_VALUES, "--", "cmd.exe", LONE_SURROGATE)],
    ids=repr,
)
def test_an_argument_that_is_not_valid_utf16_stops_before_dispatch(install, args):
    before = snapshot(install)
    result = install.run(*args)
    # Not 0, 2, 77 or 78: the caller can tell it from every command outcome.
    assert result.exit_code == 65
    assert_one_error_line(result)
    assert install.files_under_localappdata() == []
    assert snapshot(install) == before
