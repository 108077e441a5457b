"""Leak check of every entry point, on its success and its failure paths.

Each case is one small mix of calls, repeated in blocks after a warm-up. A signal
counts as a leak only when it grows in every block (the rule of CPython's regrtest),
so that a cache that fills once, or a pool that starts on first use, passes.

Signals:
- the reference counts of the inputs, of their cells and of the objects a call
  handles (the Encoder, its type, the values of its arguments);
- sys.getallocatedblocks(): Python objects leaked by any path (it counts 0 under
  PYTHONMALLOC=malloc, where the sanitizer run takes over). Under pytest it wanders
  by tens of blocks around raised exceptions, however long the block, so a block
  counts as grown only past half a block per call: a leaking path leaks every time;
- resident memory from /proc/self/statm, with some slack per block: native memory
  (matrices, code books) leaked. Skipped under AddressSanitizer (BRINDLE_ASAN=1),
  whose quarantine grows resident memory on clean code.
"""

import array
import gc
import os
import sys

import numpy as np
import pandas as pd
import pytest

import brindle

from conftest import internal_error_type
from test_interrupt import CtrlCWhileRead

BLOCKS = 4
CALLS = 200
WARMUP = 20
RSS_SLACK = 1 << 20  # bytes a block may add without a leak being suspected
UNDER_ASAN = os.environ.get("BRINDLE_ASAN") == "1"
PAGE = os.sysconf("SC_PAGE_SIZE")

INTERNAL = internal_error_type()


def fresh(text):
    """A str equal to text that is neither interned nor immortal, so its count moves."""
    return "".join(list(text))


def refuse(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn!r} did not raise {exc.__name__}")


def rss():
    with open("/proc/self/statm", "rb") as f:
        return int(f.read().split()[1]) * PAGE


def measure(once, watched, calls=CALLS):
    """Runs the blocks; returns (reference deltas per watched object, block deltas,
    resident-memory deltas), each a list of BLOCKS numbers."""
    for _ in range(WARMUP):
        once()
    # Records live in arrays allocated up front: storing a number there creates no
    # object that outlives the measurement, so the bookkeeping cannot look like a leak.
    n = len(watched)
    refs = array.array("q", [0] * (n * (BLOCKS + 1)))
    blocks = array.array("q", [0] * (BLOCKS + 1))
    memory = array.array("q", [0] * (BLOCKS + 1))
    indices = range(n)
    loop = range(calls)
    for b in range(BLOCKS + 1):
        if b:
            for _ in loop:
                once()
        gc.collect()
        memory[b] = rss()
        for i in indices:
            refs[b * n + i] = sys.getrefcount(watched[i])
        blocks[b] = sys.getallocatedblocks()

    def deltas(seq, stride=1, offset=0):
        return [seq[(b + 1) * stride + offset] - seq[b * stride + offset] for b in range(BLOCKS)]

    return [deltas(refs, n, i) for i in indices], deltas(blocks), deltas(memory)


def check(once, watched, calls=CALLS):
    """Fails when a signal grows in every block; names the grown object."""
    ref_deltas, block_deltas, memory_deltas = measure(once, watched, calls)
    problems = []
    for obj, d in zip(watched, ref_deltas):
        if all(x >= 1 for x in d):
            problems.append(f"references to {type(obj).__name__} {short(obj)} grew by {d}")
    if all(x >= max(1, calls // 2) for x in block_deltas):
        problems.append(f"allocated blocks grew by {block_deltas}")
    if not UNDER_ASAN and all(x > RSS_SLACK for x in memory_deltas):
        problems.append(f"resident memory grew by {memory_deltas} bytes")
    assert not problems, f"leak over {BLOCKS} blocks of {calls} calls: " + "; ".join(problems)


def short(obj):
    if isinstance(obj, (np.ndarray, pd.DataFrame)):
        return f"of shape {obj.shape} at {id(obj):#x}"
    text = repr(obj)
    return text if len(text) < 60 else text[:57] + "..."


# --- constructor --------------------------------------------------------------------


def test_constructor_leaks_nothing():
    label = fresh("label")
    bad = fresh("Label")
    surrogate = fresh("lab\ud800")
    not_text = 2.5  # a float: not immortal, unlike small ints
    extra = fresh("x")
    encoder_type = brindle.Encoder

    def once():
        brindle.Encoder()
        brindle.Encoder(None)
        brindle.Encoder(label)
        brindle.Encoder(encoding=label)
        refuse(ValueError, brindle.Encoder, bad)
        refuse(TypeError, brindle.Encoder, not_text)  # carries a note
        refuse(UnicodeEncodeError, brindle.Encoder, surrogate)  # carries a note
        refuse(TypeError, brindle.Encoder, label, extra)
        refuse(TypeError, brindle.Encoder, strategy=label)
        refuse(TypeError, brindle.Encoder, label, encoding=label)

    check(once, [encoder_type, label, bad, surrogate, not_text, extra])


def test_encoder_with_books_is_freed():
    x = np.array([[fresh("a"), fresh("b")], [fresh("c"), 1.5]], dtype=object)

    def once():
        enc = brindle.Encoder()
        enc.encode(x)
        del enc

    check(once, [brindle.Encoder, x, *x.ravel()])


# --- methods: arguments and the pass-through ---------------------------------------

METHODS = ["encode", "decode"]


@pytest.mark.parametrize("method", METHODS)
def test_argument_errors_leak_nothing(method):
    enc = brindle.Encoder()
    x = np.eye(3)
    y = np.eye(2)
    fn = getattr(enc, method)

    def once():
        refuse(TypeError, fn)
        refuse(TypeError, fn, x, y)
        refuse(TypeError, fn, x, other=y)
        refuse(TypeError, fn, x, obj=y)
        fn(obj=x)

    check(once, [enc, x, y])


def _float_views():
    base = np.arange(20000.0).reshape(100, 200)  # 160 kB: a leaked copy shows in RSS
    return [base, np.asfortranarray(base), base[::2, ::3], base[::-1]]


@pytest.mark.parametrize("method", METHODS)
def test_float_passthrough_leaks_nothing(method):
    enc = brindle.Encoder()
    views = _float_views()
    fn = getattr(enc, method)

    def once():
        for v in views:
            fn(v)

    check(once, [enc, *views])


@pytest.mark.parametrize("method", METHODS)
def test_unsupported_types_leak_nothing(method, capfd):
    enc = brindle.Encoder()
    inputs = [[1.0, 2.0], (1.0,), pd.Series([1.0, 2.0]), None, 2.5, type("Odd\u00e9", (), {})()]
    fn = getattr(enc, method)

    def once():
        for obj in inputs:
            refuse(TypeError, fn, obj)

    check(once, [enc, *inputs])
    capfd.readouterr()  # the type names printed on the C-level stdout


@pytest.mark.parametrize("method", METHODS)
def test_rejected_shapes_leak_nothing(method):
    enc = brindle.Encoder()
    inputs = [np.zeros(3), np.zeros(3, dtype=object), np.zeros((2, 2, 2))]
    fn = getattr(enc, method)

    def once():
        for obj in inputs:
            refuse(INTERNAL, fn, obj)

    check(once, [enc, *inputs])


# --- methods: the column path -------------------------------------------------------


def _labels(n, prefix):
    return [fresh(f"{prefix}{i:05d}") for i in range(n)]


def _object_array(rows=200):
    """Text, numbers and a text column that turns text late; non-interned cells."""
    texts = _labels(rows, "k")
    out = np.empty((rows, 3), dtype=object)
    out[:, 0] = texts
    out[:, 1] = [float(i) for i in range(rows)]
    out[:, 2] = [i * 0.5 for i in range(rows - 1)] + [fresh("late")]
    out[3, 0] = fresh("nan")
    return out


def _frame(rows=200):
    return pd.DataFrame(
        {
            "name": pd.Series(_labels(rows, "n"), dtype=object),
            "value": np.arange(rows, dtype=np.float64),
            "flag": pd.Series([fresh("yes"), None] * (rows // 2), dtype=object),
        }
    )


def _cells(obj, limit=50):
    values = obj.to_numpy() if isinstance(obj, pd.DataFrame) else obj
    return [c for c in values.ravel(order="K")[:limit] if isinstance(c, str)]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    "make",
    [
        _object_array,
        _frame,
        lambda: np.arange(300, dtype=np.int64).reshape(100, 3),
        lambda: np.array(_labels(300, "u")).reshape(100, 3),  # '<U' cells: made per read
        lambda: np.arange(300, dtype=np.float64).reshape(100, 3).astype(">f8"),
    ],
    ids=["object", "frame", "int64", "unicode", "big-endian"],
)
def test_column_path_leaks_nothing(method, make):
    enc = brindle.Encoder()
    obj = make()
    fn = getattr(enc, method)

    check(lambda: fn(obj), [enc, obj, *_cells(obj)], calls=100)


def test_decode_with_books_leaks_nothing():
    enc = brindle.Encoder()
    x = _object_array(150)
    frame = _frame(150)
    frame_codes = enc.encode(frame)
    frame_codes_values = frame_codes.to_numpy()

    def frame_once():
        enc.decode(frame_codes)
        enc.decode(frame_codes_values)

    check(frame_once, [enc, frame, frame_codes], calls=100)

    codes = enc.encode(x)
    codes[0, 0] = 1e9  # a code the books do not hold
    codes_f = np.asfortranarray(codes)
    narrow = codes[:, :1]  # narrower than the books' text columns: must fail cleanly

    def array_once():
        enc.decode(codes)
        enc.decode(codes_f)
        refuse(Exception, enc.decode, narrow)

    check(array_once, [enc, x, codes, codes_f, narrow, *_cells(x)], calls=100)


def test_encode_replacing_books_leaks_nothing():
    # Each call builds books for 2 x 2000 distinct labels and drops the previous ones:
    # books that were never freed would show in resident memory.
    enc = brindle.Encoder()
    x = np.array(_labels(4000, "b"), dtype=object).reshape(2000, 2)
    check(lambda: enc.encode(x), [enc, x], calls=50)


class Boom:
    def __str__(self):
        raise ValueError("no text for this cell")


class Reentrant:
    """A cell whose str() calls back into the Encoder that is reading it."""

    def __init__(self):
        self.enc = None
        self.small = np.array([[fresh("s")]], dtype=object)
        self.seen = None

    def __str__(self):
        seen = []
        for name in ("encode", "decode"):
            try:
                getattr(self.enc, name)(self.small)
                seen.append("ok")
            except RuntimeError as exc:
                seen.append(str(exc))
        self.seen = tuple(seen)
        return "cell"


@pytest.mark.parametrize("method", METHODS)
def test_failing_cells_leak_nothing(method):
    enc = brindle.Encoder()
    boom = Boom()
    failing = np.array([[fresh("a"), 1.0], [boom, 2.0]], dtype=object)
    columns = pd.DataFrame([[1.0, 2.0]], columns=[1.5, 2.5])  # float labels: TypeError
    fn = getattr(enc, method)

    def once():
        refuse(INTERNAL, fn, failing)
        refuse(TypeError, fn, columns)

    check(once, [enc, boom, failing, columns])


@pytest.mark.parametrize(
    "method, expected",
    [
        ("encode", ("Already borrowed", "Already mutably borrowed")),
        ("decode", ("Already borrowed", "ok")),
    ],
)
def test_reentrant_cell_leaks_nothing(method, expected):
    enc = brindle.Encoder()
    cell = Reentrant()
    cell.enc = enc
    x = np.array([[cell, fresh("b")], [fresh("c"), cell]], dtype=object)
    fn = getattr(enc, method)
    fn(x)
    assert cell.seen == expected

    check(lambda: fn(x), [enc, cell, x, cell.small])
    # given back every time: the next call from outside is admitted
    fn(x)


@pytest.mark.parametrize("method", METHODS)
def test_interrupted_call_leaks_nothing(method, sigint):

    enc = brindle.Encoder()
    enc.encode(np.array([["a"]], dtype=object))  # books for decode
    trip = CtrlCWhileRead()
    label = fresh("s")
    # Enough cells after the tripping one for the scan to look for Ctrl-C.
    x = np.array([[label, i % 3] for i in range(2000)], dtype=object)
    x[0, 1] = trip
    fn = getattr(enc, method)

    check(lambda: refuse(KeyboardInterrupt, fn, x), [enc, trip, label, x], calls=50)
