import shutil

import pytest

from harness import BARE_PREFIX, Install, Wine, WineMissing


@pytest.fixture(scope="session")
def wine():
    session = Wine()
    try:
        session.start()
    except WineMissing as missing:
        # Failing, not skipping: a run without Wine must not look green.
        pytest.fail(str(missing), pytrace=False)
    yield session
    session.stop()


@pytest.fixture(scope="session")
def bare_wine(wine):
    """A machine whose system directory lacks powershell.exe and icacls.exe;
    booted from a copy of the first one, so that it costs no fresh prefix."""
    if not BARE_PREFIX.exists():
        # Copied under another name first, so that an interrupted copy is
        # never taken for a machine.
        partial = BARE_PREFIX.with_name(BARE_PREFIX.name + ".partial")
        shutil.rmtree(partial, ignore_errors=True)
        shutil.copytree(wine.prefix, partial, symlinks=True)
        partial.rename(BARE_PREFIX)
    session = Wine(BARE_PREFIX, stand_ins=("userenv.dll",))
    session.start()
    yield session
    session.stop()


@pytest.fixture
def install(wine, tmp_path):
    return Install(wine, tmp_path)


@pytest.fixture
def icacls(install):
    return install.icacls
