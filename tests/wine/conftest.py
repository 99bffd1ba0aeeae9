import pytest

from harness import Install, Wine, WineMissing


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


@pytest.fixture
def install(wine, tmp_path):
    return Install(wine, tmp_path)
