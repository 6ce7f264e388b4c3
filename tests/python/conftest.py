import faulthandler

import pytest


@pytest.fixture
def deadlock_guard():
    """For tests whose failure would be a deadlock (a thread waiting for input that only a
    blocked thread can give): ends the run with every thread's traceback instead of hanging."""
    faulthandler.dump_traceback_later(600, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
