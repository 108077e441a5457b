import os
import signal

import pytest

# Frames this short would read through `values`: the suite's small frames are
# to meet the column road as well. Read once, at the first frame; the default
# has its own test.
os.environ.setdefault("BRINDLE_FRAME_COLUMNS_MIN_ROWS", "0")

import brindle  # noqa: E402


@pytest.fixture
def enc():
    return brindle.Encoder()


def internal_error_type():
    """The class of brindle's internal failures (not exported by the module)."""
    import numpy as np

    try:
        brindle.Encoder().encode(np.zeros(3, dtype=object))
    except BaseException as exc:  # noqa: BLE001 - this is the point
        return type(exc)
    raise AssertionError("a one-dimensional input did not fail")


# Named by tests that expect an internal failure, so pytest.raises states the class.
INTERNAL = internal_error_type()


@pytest.fixture
def sigint():
    """Sets SIGINT's handler for one test: a process started in the background
    by a shell without job control has SIGINT ignored, so even the default
    handler is set explicitly."""
    previous = signal.getsignal(signal.SIGINT)

    def set_handler(handler=signal.default_int_handler):
        signal.signal(signal.SIGINT, handler)

    set_handler()
    yield set_handler
    signal.signal(signal.SIGINT, previous)
