"""Ctrl-C during a long call: a child process is interrupted in the middle of a
large encode, on each road a call can take, with each kind of SIGINT handler."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

CHILD = os.path.join(os.path.dirname(__file__), "interrupt_child.py")
ROWS = 400_000  # about a second of encoding here; doubled while the signal comes late
ATTEMPTS = 4
MIN_DELAY = 0.1  # seconds from the child's "go" to the signal, at least


def interrupt_child(kind, handler):
    """Runs the child until a signal lands inside its call; returns its report."""
    rows = ROWS
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
    ],
)
def test_sigint_in_a_long_encode(kind, handler, outcome):
    # The child checks the rest: after an interrupt, the books and references
    # are as before and no memory is held; with a handler that returns, the
    # result is right; either way the next call is right.
    report = interrupt_child(kind, handler)
    assert report["outcome"] == outcome, report
    assert report["failures"] == [], report
