"""Inputs that fight back: cells whose conversions change the array they sit
in or raise what must not be swallowed, and impostors named "DataFrame" whose
shape, values or column names lie. fuzz/entry_fuzz.py generates such inputs
at large; these are the cases worth keeping.

Cases that can crash the interpreter run in a child process, so that a crash
fails one test instead of ending the run; under the sanitizer stage the child
inherits the preloaded runtime, whose report fails that stage.
"""

import glob
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

import brindle

from conftest import internal_error_type

INTERNAL = internal_error_type()

PRELUDE = textwrap.dedent(
    """
    import numpy as np, pandas as pd, brindle

    def internal():
        try:
            brindle.Encoder().encode(np.zeros(3, dtype=object))
        except BaseException as exc:
            return type(exc)

    def outcome(call):
        try:
            return call()
        except BaseException as exc:
            return type(exc)
    """
)


def run_isolated(code):
    """Runs code after PRELUDE in a fresh interpreter; returns its stdout."""
    run = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, f"exit {run.returncode}\n{run.stdout[-1000:]}\n{run.stderr[-3000:]}"
    return run.stdout


# ---- a cell that replaces itself -----------------------------------------------------

# The cell replaces itself while it is converted, leaving the array's
# reference, which was the last, to be dropped; then it fails the conversion or
# gives its text. Its column is text: "a" and the cell's own text "lazy". A cell
# whose float conversion runs comes first in its column; one whose column is
# already text comes after "a".
REPLACER = """
class Lazy:
    def __init__(self, x, how):
        self.x, self.how = x, how

    def act(self):
        if self.how == "resize":
            self.x.resize((1, 1), refcheck=False)
        else:
            self.x[ROW, 0] = "computed"

    def fail(self):
        self.act()
        raise ValueError("not a number")

    def __str__(self):
        if self.how in ("str", "resize"):
            self.act()
        return "lazy"

# Only the conversion under test exists: __float__ would be tried before __index__.
if {how!r} == "float":
    Lazy.__float__ = Lazy.fail
if {how!r} == "index":
    Lazy.__index__ = Lazy.fail
ROW = 0 if {how!r} in ("float", "index") else 1

def make():
    x = np.empty((2, 1), dtype=object)
    x[1 - ROW, 0] = "a"
    x[ROW, 0] = Lazy(x, {how!r})
    return x

x = make()
enc = brindle.Encoder()
out = {call}
print(repr(out.tolist() if hasattr(out, "tolist") else out.to_numpy().tolist()))
"""

CALLS = {
    "encode array": "enc.encode(x)",
    "decode array": "enc.decode(x)",
    "encode frame": "enc.encode(pd.DataFrame(x, copy=False))",
    "decode frame": "enc.decode(pd.DataFrame(x, copy=False))",
}


# In "str" and "resize" the column is already text when the cell is read: only
# its __str__ runs, the same in encode and decode. A resized array would leave
# a frame built on it dangling, whatever reads it.
REPLACER_CASES = [(how, call) for how in ("float", "index") for call in CALLS] + [
    ("str", "encode array"), ("str", "encode frame"), ("resize", "encode array")]


@pytest.mark.parametrize("how, call", REPLACER_CASES, ids=[f"{h}-{c}" for h, c in REPLACER_CASES])
def test_cell_that_replaces_itself(how, call):
    out = run_isolated(REPLACER.format(how=how, call=CALLS[call]))
    assert out.strip() == ("[[1.0], [0.0]]" if how in ("float", "index") else "[[0.0], [1.0]]")


FINALIZER = """
import gc

x = np.empty((2, 1), dtype=object)

class Cell:
    def __float__(self):
        gc.collect()
        raise ValueError("not a number")

    def __str__(self):
        return "cell"

class Trap:
    def __del__(self):
        x[0, 0] = "replaced"  # the array's reference to Cell was the last

t = Trap()
t.cycle = t
del t  # garbage in a cycle, finalized by the collection Cell starts
x[0, 0] = Cell()
x[1, 0] = "a"
print(brindle.Encoder().encode(x).tolist())
"""


def test_cell_replaced_by_a_finalizer_during_its_conversion():
    # Not the cell's own doing: code it runs (here a collection) replaces it.
    assert run_isolated(FINALIZER).strip() == "[[1.0], [0.0]]"


# ---- impostors whose shape overstates their values ------------------------------------

OVERSTATED = """
class DataFrame:
    shape = {shape}
    columns = [f"c{{i}}" for i in range(shape[1])]
    values = np.array({values}, dtype={dtype!r})

for method in ("encode", "decode"):
    got = outcome(lambda: getattr(brindle.Encoder(), method)(DataFrame()))
    print(got is internal(), getattr(got, "__name__", type(got).__name__))
"""


@pytest.mark.parametrize(
    "shape, values, dtype",
    [
        ((1000, 2), [["x", "y"]], "object"),  # read on the pool
        ((6, 2), [[1, 2], [3, 4]], "int64"),
        ((5_000_000, 2), [[1, 2]], "int64"),
        ((2, 3), [["x", "y"], ["z", "w"]], "object"),  # more columns than the values have
        ((2, 3), [[1, 2], [3, 4]], "int64"),
        ((3, 2), [["x", 1.5], ["y", 2.5]], "object"),
    ],
)
def test_shape_beyond_values_is_an_internal_failure(shape, values, dtype):
    out = run_isolated(OVERSTATED.format(shape=shape, values=values, dtype=dtype))
    # Each line: whether the failure was the internal one, and what it was.
    assert out.split()[::2] == ["True", "True"], out


def test_shape_within_values_reads_only_what_it_claims(enc):
    class DataFrame:
        columns = ["a"]
        shape = (2, 1)
        values = np.array([["x", 1], ["y", 2], ["z", 3]], dtype=object)

    assert enc.encode(DataFrame()).to_numpy().tolist() == [[0.0], [1.0]]


# ---- column names --------------------------------------------------------------------

LENGTH_HINT = """
class Names(list):
    def __len__(self):
        return {length}

class DataFrame:
    columns = Names(["a", "b"])
    shape = (1, 2)
    values = np.array([["x", 1]], dtype=object)

out = brindle.Encoder().encode(DataFrame())
print(list(out.columns), out.to_numpy().tolist())
"""


@pytest.mark.parametrize("length", [2**40, 2**62, 3])
def test_length_of_column_names_is_only_a_hint(length):
    # Run apart: under AddressSanitizer a reservation of 2**40 names aborts.
    out = run_isolated(LENGTH_HINT.format(length=length))
    assert out.strip() == "['a', 'b'] [[0.0, 1.0]]"


@pytest.mark.parametrize(
    "columns, exc",
    [(["a"], ValueError), (["a", "b", "c"], ValueError), ("ab", AttributeError), ([1.5, 2.5], AttributeError)],
)
def test_column_names_against_shape(enc, columns, exc):
    # Names are read first; a count that does not match `shape` is refused by
    # pandas when the result is built.
    class DataFrame:
        shape = (1, 2)
        values = np.array([["x", 1]], dtype=object)

    frame = DataFrame()
    frame.columns = columns
    with pytest.raises(exc):
        enc.encode(frame)


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, MemoryError])
def test_reading_names_passes_interrupts_on(enc, exc_type):
    # The names are first tried as texts; only an ordinary failure there
    # means "not texts" and leads on to the integer attempt.
    class Names:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            return "a"

        def __iter__(self):
            raise exc_type

        def tolist(self):
            return [0]

    class DataFrame:
        columns = Names()
        shape = (1, 1)
        values = np.array([["x"]], dtype=object)

    with pytest.raises(exc_type):
        enc.encode(DataFrame())


# ---- what a float conversion raises ------------------------------------------------------


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __str__(self):
        return "raising"


class IndexRaising:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __str__(self):
        return "raising"


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("make", [Raising, IndexRaising], ids=["__float__", "__index__"])
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, MemoryError, Interrupt])
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_float_conversion_passes_interrupts_on(make, exc_type, method):
    raised = exc_type("from a cell")
    x = np.array([[1.0, make(raised)]], dtype=object)
    enc = brindle.Encoder()
    enc.encode(np.array([["kept"]], dtype=object))
    with pytest.raises(exc_type) as info:
        getattr(enc, method)(x)
    assert info.value is raised
    # The Encoder was given back with its books.
    assert enc.decode(np.array([[0.0]])).tolist() == [["kept"]]


@pytest.mark.parametrize("make", [Raising, IndexRaising], ids=["__float__", "__index__"])
@pytest.mark.parametrize("exc_type", [ValueError, TypeError, ArithmeticError, RuntimeError, UnicodeError])
def test_float_conversion_failure_makes_a_text_column(enc, make, exc_type):
    x = np.array([[1.0], [make(exc_type("no"))], [2.0]], dtype=object)
    # 1.0 before the switch is written '1'; 2.0 after it is str(2.0).
    assert enc.encode(x).tolist() == [[0.0], [2.0], [1.0]]
    assert enc.decode(x).tolist() == [["1"], ["raising"], ["2.0"]]


# ---- odd results of conversions ----------------------------------------------------------


def _cell(**methods):
    return type("Odd", (), {"__str__": lambda self: "odd", **methods})()


@pytest.mark.parametrize(
    "cell, value",
    [
        (_cell(__float__=lambda self: "1.5"), None),  # not a float: the column is text
        (_cell(__float__=lambda self: None), None),
        (_cell(__float__=lambda self: 3), None),
        (_cell(__index__=lambda self: 2**1100), None),  # too large for a float
        (_cell(__index__=lambda self: 2.5), None),
        (_cell(__float__=lambda self: 2.5), 2.5),
        (_cell(__index__=lambda self: 7), 7.0),
    ],
)
def test_odd_conversion_results(enc, cell, value):
    x = np.array([[cell]], dtype=object)
    assert enc.encode(x).tolist() == [[0.0 if value is None else value]]
    assert enc.decode(x).tolist() == [["odd" if value is None else value]]


def _raise_interrupt(self):
    raise KeyboardInterrupt


@pytest.mark.parametrize("to_str", [lambda self: 1, lambda self: None, _raise_interrupt],
                         ids=["int", "None", "KeyboardInterrupt"])
def test_str_that_fails_is_an_internal_failure(enc, to_str):
    x = np.array(["a", type("S", (), {"__str__": to_str})()], dtype=object).reshape(2, 1)
    with pytest.raises(BaseException) as info:
        enc.encode(x)
    # An interrupt may also pass through unchanged.
    assert info.type is INTERNAL or info.type is KeyboardInterrupt


@pytest.mark.parametrize("where", ["str", "values"])
def test_running_out_of_memory_is_never_an_internal_failure(enc, where):
    # Failures that are read as broken invariants elsewhere pass MemoryError
    # on as it was raised: running out of memory says nothing about the input.
    raised = MemoryError("from the input")

    def fail(self):
        raise raised

    if where == "str":
        x = np.array(["a", type("S", (), {"__str__": fail})()], dtype=object).reshape(2, 1)
    else:
        x = type("DataFrame", (), {"columns": ["a"], "shape": (1, 1), "values": property(fail)})()
    with pytest.raises(MemoryError) as info:
        enc.encode(x)
    assert info.value is raised


# ---- cells that run the garbage collector or other threads --------------------------------


class Busy:
    """Runs gc.collect() and a thread that encodes with the same Encoder, then
    turns its column to text."""

    def __init__(self, enc):
        self.enc, self.seen = enc, []

    def __float__(self):
        import gc
        import threading

        gc.collect()
        t = threading.Thread(target=self.work)
        t.start()
        t.join()
        raise ValueError

    def work(self):
        try:
            self.enc.encode(np.array([["t"]], dtype=object))
        except RuntimeError as exc:
            self.seen.append(str(exc))

    def __str__(self):
        return "busy"


@pytest.mark.parametrize("wrap", [lambda x: x, lambda x: pd.DataFrame(x, copy=False)], ids=["array", "frame"])
def test_cell_running_gc_and_a_thread(wrap):
    enc = brindle.Encoder()
    cell = Busy(enc)
    x = np.array([[1.0, 1.0], [cell, 2.0], ["b", 3.0]], dtype=object)
    cells = list(x.ravel())
    out = enc.encode(wrap(x))
    out = out.to_numpy() if isinstance(out, pd.DataFrame) else out
    assert out.tolist() == [[0.0, 1.0], [2.0, 2.0], [1.0, 3.0]]
    assert cell.seen == ["Already borrowed"]
    assert all(a is b for a, b in zip(x.ravel(), cells))


# ---- Arrow buffers that lie -----------------------------------------------------------

# pyarrow's from_buffers checks only an array's first and last offset, and
# pandas wraps what it is given, so a user can hold such a column. Offsets
# that lie are refused with the internal failure, the class `values` gives
# where pandas fails cleanly (for categories pyarrow aborts the process);
# null counts that lie leave the frame to `values`, read as pandas reads it.
try:
    import pyarrow  # noqa: F401

    ARROW_STRINGS = hasattr(pd.Series, "__arrow_c_stream__")
except ImportError:
    ARROW_STRINGS = False
needs_arrow_strings = pytest.mark.skipif(not ARROW_STRINGS, reason="needs pandas 3 with pyarrow")

ARROW_PRELUDE = """
import pyarrow as pa

STR = pd.StringDtype("pyarrow", na_value=np.nan)

def lying(offsets, data, type=pa.large_string(), bitmap=None, null_count=-1):
    width = np.int32 if type == pa.string() else np.int64
    buffers = [bitmap and pa.py_buffer(bitmap), pa.py_buffer(np.array(offsets, width).tobytes()), pa.py_buffer(data)]
    return pa.Array.from_buffers(type, len(offsets) - 1, buffers, null_count=null_count)

def categorical(categories, codes):
    # pandas' public constructors hash the categories, which fails on these.
    dtype = pd.CategoricalDtype._from_fastpath(pd.Index(pd.arrays.ArrowStringArray(categories, dtype=STR)), False)
    return pd.Categorical.from_codes(codes, dtype=dtype, validate=False)

class DataFrame:
    def __init__(self, frame):
        self.frame = frame
    columns = property(lambda self: self.frame.columns)
    shape = property(lambda self: self.frame.shape)
    values = property(lambda self: self.frame.values)
"""


@needs_arrow_strings
@pytest.mark.parametrize("where", ["column", "categories"])
@pytest.mark.parametrize("offsets", [[0, 2, 1, 3, 4], [0, -8, 2, 3, 4]], ids=["decreasing", "negative"])
def test_lying_arrow_offsets_fail_as_values_fails(where, offsets):
    if where == "categories" and not hasattr(pd.CategoricalDtype, "_from_fastpath"):
        pytest.skip("no way here to build categories that lie")
    out = run_isolated(ARROW_PRELUDE + textwrap.dedent(f"""
    array = lying({offsets!r}, b"abcd")
    if {where!r} == "column":
        lie = pd.Series(pd.arrays.ArrowStringArray(array))
    else:
        lie = categorical(array, [0, 1, 2, 1])
    enc = brindle.Encoder()
    enc.encode(pd.DataFrame({{"s": ["x", "y", "z", "x"], "o": pd.Series(["p"] * 4, dtype=object)}}))
    books = enc.decode(np.array([[0.0, 0.0], [2.0, 0.0]])).tolist()
    frame = pd.DataFrame({{"s": lie, "o": pd.Series(["p"] * 4, dtype=object)}})
    values = outcome(lambda: brindle.Encoder().encode(DataFrame(frame))) if {where!r} == "column" else internal()
    print(outcome(lambda: enc.encode(frame)) is internal(), values is internal(),
          enc.decode(np.array([[0.0, 0.0], [2.0, 0.0]])).tolist() == books)
    """))
    assert out.split() == ["True", "True", "True"]


# Each replaces the column's own Arrow export (4 rows: "a", "b", "c", "d"),
# for the layouts pandas itself does not hand over; the frame's `values` are
# the true ones. Offsets and views that lie are refused, a null count that
# lies leaves the frame to `values`.
LYING_STREAMS = {
    "string-decreasing": 'lying([0, 2, 1, 3, 4], b"abcd", pa.string())',
    "string-negative": 'lying([0, -8, 2, 3, 4], b"abcd", pa.string())',
    "null-count": 'lying([0, 1, 2, 3, 4], b"abcd", bitmap=b"\\x0f", null_count=2)',
    "view-buffer-index": "view(length=20, buffer=3)",
    "view-past-its-buffer": "view(length=20, offset=25)",
    "view-negative-length": "view(length=-20)",
}


@needs_arrow_strings
@pytest.mark.parametrize("where", ["column", "categories"])
@pytest.mark.parametrize("lie", LYING_STREAMS, ids=LYING_STREAMS.keys())
def test_lying_arrow_streams_are_never_read(where, lie):
    out = run_isolated(ARROW_PRELUDE + textwrap.dedent(f"""
    def view(length, buffer=0, offset=0):
        views = np.zeros((4, 4), np.int32)
        views[:, 0] = 1
        views[:, 1] = np.frombuffer(b"abcd", np.uint8)
        views[1] = [length, 0, buffer, offset]
        return pa.Array.from_buffers(pa.string_view(), 4, [None, pa.py_buffer(views.tobytes()), pa.py_buffer(b"x" * 30)])

    lie = pa.chunked_array([{LYING_STREAMS[lie]}])
    if {where!r} == "column":
        column = pd.Series(["a", "b", "c", "d"], dtype=STR)
    else:
        column = pd.Categorical.from_codes([3, 0, 1, 2], dtype=pd.CategoricalDtype(pd.Index(list("abcd"), dtype=STR)))
    frame = pd.DataFrame({{"s": column, "o": pd.Series(["p"] * 4, dtype=object)}})
    expected = brindle.Encoder().encode(DataFrame(frame)).to_numpy().tolist()
    pd.Series.__arrow_c_stream__ = lambda self, requested_schema=None: lie.__arrow_c_stream__()
    got = outcome(lambda: brindle.Encoder().encode(frame).to_numpy().tolist())
    print("values" if got == expected else "internal" if got is internal() else got)
    """))
    assert out.split() == ["values" if lie == "null-count" else "internal"]


# ---- inputs the entry fuzzer once died on ---------------------------------------------

FUZZ_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "fuzz")
FUZZ_PLANS = sorted(glob.glob(os.path.join(FUZZ_DIR, "plans", "*.json")))


@pytest.mark.parametrize("plan", FUZZ_PLANS, ids=lambda p: os.path.basename(p)[:-5])
def test_fuzzer_plans_replay_cleanly(plan):
    # Each in a fresh interpreter: the findings were crashes, often at exit.
    # Under ASan the child skips the leak check at exit, whose tracer itself
    # dies now and then in these short processes; the fuzzer's own run checks
    # leaks, and retries such a death once.
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    run = subprocess.run([sys.executable, os.path.join(FUZZ_DIR, "entry_fuzz.py"), "--replay", plan],
                         capture_output=True, text=True, timeout=300, env=env)
    assert run.returncode == 0, f"exit {run.returncode}\n{run.stdout[-1000:]}\n{run.stderr[-3000:]}"
