"""Leak check of every entry point, on its success and its failure paths, by the
block rule of leakcheck.py."""

import numpy as np
import pandas as pd
import pytest

import brindle

from conftest import INTERNAL
from leakcheck import check, fresh, refuse
from test_interrupt import CtrlCWhileRead


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


# A pandas frame read column by column leaves one weak reference per column
# in pandas' own copy-on-write bookkeeping, which pandas prunes once a list
# holds 500: blocks long enough to span a pruning tell that apart from a leak.
FRAME_CALLS = 500


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

    check(lambda: fn(obj), [enc, obj, *_cells(obj)], calls=FRAME_CALLS if isinstance(obj, pd.DataFrame) else 100)


def test_decode_with_books_leaks_nothing():
    enc = brindle.Encoder()
    x = _object_array(150)
    frame = _frame(150)
    frame_codes = enc.encode(frame)
    frame_codes_values = frame_codes.to_numpy()

    def frame_once():
        enc.decode(frame_codes)
        enc.decode(frame_codes_values)

    check(frame_once, [enc, frame, frame_codes], calls=FRAME_CALLS)

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


def _arrow_strings():
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return False
    return hasattr(pd.Series, "__arrow_c_stream__")


@pytest.mark.skipif(not _arrow_strings(), reason="needs pandas 3 with pyarrow")
def test_refused_arrow_frames_leak_nothing():
    import pyarrow as pa

    def arrow_str(array):
        return pd.Series(pd.arrays.ArrowStringArray(array, dtype=pd.StringDtype("pyarrow", na_value=np.nan)))

    rows = 200
    other = pd.Series([fresh("p")] * rows, dtype=object)
    offsets = np.arange(rows + 1, dtype=np.int64)
    offsets[5] = 9  # goes down after it
    lying = pa.Array.from_buffers(pa.large_string(), rows, [None, pa.py_buffer(offsets.tobytes()),
                                                            pa.py_buffer(b"x" * rows)])
    miscounted = pa.Array.from_buffers(pa.large_string(), rows, [pa.py_buffer(b"\xff" * (rows // 8)),
                                                                 pa.py_buffer(np.arange(rows + 1).tobytes()),
                                                                 pa.py_buffer(b"y" * rows)], null_count=rows)
    not_utf8 = pa.array([b"a", b"\xff", None] * (rows // 2) + [b"a"] * (rows % 2), pa.large_binary())
    frames = [pd.DataFrame({"s": arrow_str(a), "o": other}) for a in (lying, miscounted, not_utf8.view(pa.large_string()))]
    views = pd.DataFrame({"v": pd.Series(["a", None] * (rows // 2), dtype=pd.ArrowDtype(pa.string_view())), "o": other})
    if hasattr(pd.CategoricalDtype, "_from_fastpath"):
        categories = pd.Index(arrow_str(pa.array([b"a", b"\xc0\xaf"], pa.large_binary()).view(pa.large_string())).array)
        dtype = pd.CategoricalDtype._from_fastpath(categories, False)
        frames.append(pd.DataFrame({"c": pd.Categorical.from_codes([0] * rows, dtype=dtype, validate=False), "o": other}))
    enc = brindle.Encoder()

    def once():
        refuse(INTERNAL, enc.encode, frames[0])  # refused before anything reads it
        enc.encode(frames[1])  # left to `values`
        refuse(INTERNAL, enc.encode, frames[2])  # found on the pool
        refuse(INTERNAL, enc.encode, views)  # pandas' conversion fails on the column road
        for frame in frames[3:]:
            refuse(INTERNAL, enc.encode, frame)  # categories not UTF-8

    check(once, [enc, other, *frames, views], calls=FRAME_CALLS)
