import pytest

import brindle


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
