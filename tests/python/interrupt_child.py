"""A child of test_interrupt.py: one long encode that the parent interrupts.

    python interrupt_child.py KIND HANDLER ROWS

KIND picks the road: "array" (scan and coding on the pool), "frame" (the same
for a DataFrame) or "fallback" (a first cell that needs Python code sends the
scan to the calling thread); "decode" and "decode-frame" interrupt a decode of
the array's or the frame's codes instead. HANDLER is the SIGINT handler: "default" (raises
KeyboardInterrupt), "raises" (raises its own error) or "returns" (only counts).

Prints "go" and how long the call took uninterrupted just before each long
call; the parent then sends SIGINT. The last
line is a JSON report: "outcome" is "late" when the signal came only after the
call had returned (the parent retries with more rows), else what happened.
Exits non-zero when a check fails.
"""

import functools
import gc
import json
import os
import signal
import sys
import time

import numpy as np
import pandas as pd

import brindle

COLS = 8
UNDER_ASAN = os.environ.get("BRINDLE_ASAN") == "1"
PAGE = os.sysconf("SC_PAGE_SIZE")


class HandlerError(Exception):
    pass


def rss():
    with open("/proc/self/statm", "rb") as f:
        return int(f.read().split()[1]) * PAGE


def make(kind, rows):
    rng = np.random.default_rng(rows)
    # Many distinct labels, so the coding takes about as long as the scan.
    words = np.array([f"w{i:06d}" for i in range(50_000)], dtype=object)
    x = words[rng.integers(0, len(words), size=(rows, COLS))]
    if kind == "fallback":
        x[0, 0] = np.float32(0.5)  # read through its __float__
    if kind == "frame":
        return pd.DataFrame(x, columns=[f"c{i}" for i in range(COLS)])
    return x


def equal(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and bool(np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))


def main():
    kind, handler, rows = sys.argv[1], sys.argv[2], int(sys.argv[3])
    decoding = kind.startswith("decode")
    kind = {"decode": "array", "decode-frame": "frame"}.get(kind, kind)
    big = make(kind, rows)
    small = np.array([["b", "a"], ["a", "c"]], dtype=object)
    later = make(kind, 3000)
    expect_later = brindle.Encoder().encode(later)
    probe = big.iat[1, 1] if kind == "frame" else big[1, 1]

    enc = brindle.Encoder()
    if decoding:
        codes = enc.encode(big)
        small_codes = codes.iloc[:2] if kind == "frame" else codes[:2]
        small = enc.decode(small_codes)
        call = functools.partial(enc.decode, codes)
    else:
        small_codes = enc.encode(small)
        call = functools.partial(enc.encode, big)
    # Also a warm-up: the allocator's pools grow to their size for this input.
    start = time.perf_counter()
    expect_big = (enc.decode(codes) if decoding else brindle.Encoder().encode(big))
    took = time.perf_counter() - start

    def stored_books_of_big():
        try:
            return equal(enc.decode(expect_big), big)
        except ValueError:  # books of another width
            return False

    handled = []  # True for a handler run inside the call
    in_call = False

    def on_sigint(signum, frame):
        handled.append(in_call)
        if handler == "raises":
            raise HandlerError("from the handler")

    # Set even for the default: a process started in the background by a shell
    # without job control inherits SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler if handler == "default" else on_sigint)

    def one_call():
        """Returns (outcome, result, late)."""
        nonlocal in_call
        outcome, result, returned = "completed", None, False
        try:
            print(f"go {took:.3f}", flush=True)
            in_call = True
            result = call()
            in_call = False
            returned = True
            if handler != "returns":
                time.sleep(60)  # the signal is still to come: let it land here
        except KeyboardInterrupt:
            outcome = "KeyboardInterrupt"
        except HandlerError:
            outcome = "HandlerError"
        in_call = False
        # A signal that comes after the call's last check (while its result is
        # built) is handled as the call returns, before `returned` is set: the
        # encode has stored its books, as any finished one does. That is late.
        if not decoding and outcome != "completed" and handler != "returns" and stored_books_of_big():
            return outcome, result, True
        if handler == "returns":
            deadline = time.monotonic() + 60
            while not handled and time.monotonic() < deadline:
                time.sleep(0.01)  # a late signal's handler runs in here
            return outcome, result, True not in handled  # no handler ran inside the call
        return outcome, result, returned

    # Resident memory is read after each of several interrupted calls: a leak
    # grows it every time, while the allocator's pools settle.
    calls = 3 if handler == "default" else 1
    gc.collect()
    refs_before = sys.getrefcount(probe)
    blocks_before = sys.getallocatedblocks()
    memory = []
    outcomes = []
    for _ in range(calls):
        outcome, result, late = one_call()
        if late:
            print(json.dumps({"outcome": "late"}))
            return 0
        outcomes.append(outcome)
        if handler != "returns":
            result = None
            gc.collect()
            memory.append(rss())
    report = {"outcome": outcomes[0] if len(set(outcomes)) == 1 else outcomes}

    failures = []
    if handler == "returns":
        if not equal(result, expect_big):
            failures.append("the call whose handler returned gave a wrong result")
    else:
        # Nothing of the stopped calls is left, and the books are the earlier ones.
        if sys.getrefcount(probe) != refs_before:
            failures.append(f"a cell's references went from {refs_before} to {sys.getrefcount(probe)}")
        grown = sys.getallocatedblocks() - blocks_before
        if grown > 1000:
            failures.append(f"{grown} more allocated blocks")
        steps = [b - a for a, b in zip(memory, memory[1:])]
        if not UNDER_ASAN and steps and all(d > rows * COLS * 8 // 2 for d in steps):
            failures.append(f"resident memory grew by {steps} bytes")
        if not equal(enc.decode(small_codes), small):
            failures.append("the books changed")
    if not equal(enc.encode(later), expect_later):
        failures.append("the next call gave a wrong result")
    report["failures"] = failures
    print(json.dumps(report))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
