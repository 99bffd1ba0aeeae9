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
        shutil.copytree(wine.prefix, BARE_PREFIX, symlinks=True)
    session = Wine(BARE_PREFIX, stand_ins=("userenv.dll",))
    session.start()
    yield session
    session.stop()


@pytest.fixture
def install(wine, tmp_path):
    return Install(wine, tmp_path)
