"""Ctrl-C during a long call: raised with the books unchanged, or, when the
handler returns, the call finishes right. Cells that make SIGINT pending while
the scan reads them test the scan on the calling thread; a child process
interrupted in the middle of a large encode tests every road a call can take."""

import _thread
import ctypes
import functools
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

import brindle

def sigint_pending_without_code():
    """Makes SIGINT pending as a signal arriving now would, from C (ctypes and
    partial call no Python code), so nothing handles it before brindle looks."""
    return staticmethod(functools.partial(ctypes.pythonapi.PyErr_SetInterruptEx, signal.SIGINT))


class CtrlCWhileRead:
    """A number whose reading by the cell scan "receives" Ctrl-C."""

    __index__ = sigint_pending_without_code()


class CtrlCThenText:
    """A cell whose float conversion "receives" Ctrl-C and fails, so that the
    scan then asks for its str(), which handles pending signals first."""

    __float__ = _thread.interrupt_main


def inputs(trip):
    """(array, the same with 0 for the tripping cell), long enough that the
    cell scan looks for Ctrl-C after the tripping cell."""
    x = np.array([[f"s{i % 7}", f"t{i % 5}", i % 3] for i in range(4000)], dtype=object)
    clean = x.copy()
    x[0, 2] = trip
    clean[0, 2] = 0
    return x, clean


@pytest.fixture(params=["array", "frame"])
def as_input(request):
    if request.param == "array":
        return lambda x: x
    return lambda x: pd.DataFrame(x, columns=["a", "b", "c"])


@pytest.mark.parametrize("trip", [CtrlCWhileRead, CtrlCThenText])
def test_ctrl_c_in_the_cell_scan_raises_and_keeps_the_books(as_input, trip, sigint):
    x, clean = inputs(trip())
    enc = brindle.Encoder()
    small = np.array([["b", "a"], ["a", "c"]], dtype=object)
    codes = enc.encode(small)
    with pytest.raises(KeyboardInterrupt):
        enc.encode(as_input(x))
    np.testing.assert_array_equal(enc.decode(codes), small)
    np.testing.assert_array_equal(np.asarray(enc.encode(as_input(clean))),
                                  np.asarray(brindle.Encoder().encode(as_input(clean))))


def test_ctrl_c_whose_handler_returns_lets_the_call_finish(as_input, sigint):
    x, clean = inputs(CtrlCWhileRead())
    calls = []
    sigint(lambda signum, frame: calls.append(signum))
    result = brindle.Encoder().encode(as_input(x))
    # The call ran its handler once, started over without looking for Ctrl-C,
    # and left the second one for the interpreter to handle here.
    time.sleep(0)
    assert calls == [signal.SIGINT, signal.SIGINT]
    np.testing.assert_array_equal(np.asarray(result), np.asarray(brindle.Encoder().encode(as_input(clean))))


def test_ctrl_c_whose_handler_raises_passes_its_error(sigint):
    x, _ = inputs(CtrlCWhileRead())

    def handler(signum, frame):
        raise LookupError("from the handler")

    sigint(handler)
    with pytest.raises(LookupError, match="from the handler"):
        brindle.Encoder().encode(x)


# ---- a real signal in the middle of a large call, in a child process ----------------

CHILD = os.path.join(os.path.dirname(__file__), "interrupt_child.py")
ROWS = 400_000  # about a second of encoding here; doubled while the signal comes late
ATTEMPTS = 4
MIN_DELAY = 0.1  # seconds from the child's "go" to the signal, at least


def interrupt_child(kind, handler):
    """Runs the child until a signal lands inside its call; returns its report."""
    rows = ROWS * 4 if kind.startswith("decode") else ROWS  # a decode is quicker
    for _ in range(ATTEMPTS):
        child = subprocess.Popen([sys.executable, CHILD, kind, handler, str(rows)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            # One signal per call; the child reports when one came late.
            lines = []
            while (line := child.stdout.readline()).startswith("go "):
                # Into the call's own work, past the Python code it runs first.
                time.sleep(max(MIN_DELAY, 0.4 * float(line.split()[1])))
                child.send_signal(signal.SIGINT)
            lines.append(line)
            out, err = child.communicate(timeout=300)
            out = "".join(lines) + out
        finally:
            child.kill()
        assert child.returncode == 0, f"child failed ({child.returncode}):\n{out}\n{err}"
        report = json.loads(out.splitlines()[-1])
        if report["outcome"] != "late":
            return report
        rows *= 2
    pytest.skip(f"the call always ended before the signal came ({ATTEMPTS} attempts)")


@pytest.mark.slow
@pytest.mark.parametrize(
    "kind, handler, outcome",
    [
        ("array", "default", "KeyboardInterrupt"),
        ("frame", "default", "KeyboardInterrupt"),
        ("fallback", "default", "KeyboardInterrupt"),
        ("array", "raises", "HandlerError"),
        ("array", "returns", "completed"),
        ("frame", "returns", "completed"),
        ("fallback", "returns", "completed"),
        ("decode", "default", "KeyboardInterrupt"),
        ("decode-frame", "default", "KeyboardInterrupt"),
        ("decode", "returns", "completed"),
    ],
)
def test_sigint_in_a_long_call(kind, handler, outcome):
    # The child checks the rest: after an interrupt, the books and references
    # are as before and no memory is held; with a handler that returns, the
    # result is right; either way the next call is right.
    report = interrupt_child(kind, handler)
    assert report["outcome"] == outcome, report
    assert report["failures"] == [], report
