"""The cell scan: which columns are text, the labels they get, and failures."""
import math

import numpy as np
import pandas as pd
import pytest

import brindle

from conftest import INTERNAL

NAN = float("nan")


def labels_of(column):
    """The labels brindle makes of one column, through an encode/decode round trip."""
    x = np.empty((len(column), 1), dtype=object)
    x[:, 0] = column
    enc = brindle.Encoder()
    enc.encode(x)
    return list(enc.decode(x)[:, 0])


def codes_of(column):
    x = np.empty((len(column), 1), dtype=object)
    x[:, 0] = column
    return brindle.Encoder().encode(x)[:, 0]


@pytest.mark.parametrize(
    "column, labels",
    [
        (["x", 1, 2], ["x", "1", "2"]),
        ([1, 2, "x"], ["1", "2", "x"]),
        ([1.5, "x", 2.5], ["1.5", "x", "2.5"]),
        ([1.0, "x", 2.0], ["1", "x", "2.0"]),
        ([1e21, 1e-7, -0.0, "x"], ["1000000000000000000000", "0.0000001", "-0", "x"]),
        ([1e23, 0.1, 123.456, "x"], ["100000000000000000000000", "0.1", "123.456", "x"]),
        ([math.inf, -math.inf, "x"], ["inf", "-inf", "x"]),
        ([True, False, "x", True], ["1", "0", "x", "True"]),
        ([None, "a"], ["None", "a"]),
        (["3", "10"], ["3", "10"]),
        (["a\x00b", "a\x00", "é", "日本"], ["a\x00b", "a\x00", "é", "日本"]),
        (["\ud800", "a\udfffb"], ["\ufffd" * 3, "a" + "\ufffd" * 3 + "b"]),
        ([b"raw", "s"], ["b'raw'", "s"]),
        ([10**400, 1], [str(10**400), "1"]),
    ],
)
def test_column_labels(column, labels):
    assert labels_of(column) == labels


@pytest.mark.parametrize(
    "column, codes",
    [
        (["x", 1, 2], [2, 0, 1]),
        ([1.0, "x", 2.0], [0, 2, 1]),
        ([NAN, "x"], [NAN, 0]),  # "NaN" before the switch is a marker
        (["x", NAN], [0, NAN]),  # "nan" after it, too
        (["x", pd.NA, None], [1, NAN, 0]),  # "<NA>" is a marker, "None" is not
        (["nan", "NaN", "<NA>", "NAN", "nan "], [NAN, NAN, NAN, 0, 1]),
        (["0", "<NA>", "A"], [0, NAN, 1]),
        (["b", "a", "B", "", "é", "z"], [3, 2, 1, 0, 5, 4]),
    ],
)
def test_column_codes(column, codes):
    np.testing.assert_array_equal(codes_of(column), np.array(codes, dtype=float))


@pytest.mark.parametrize(
    "dtype", ["int8", "uint8", "int16", "int32", "int64", "uint64", "float16", "float32", "bool",
              ">f8", ">i4", "longdouble"]
)
def test_numeric_arrays_convert_like_float(enc, dtype):
    rng = np.random.default_rng(1)
    x = (rng.integers(0, 2, (5, 3)) if dtype == "bool" else rng.integers(-100, 100, (5, 3))).astype(dtype)
    if dtype == "uint64":
        x = x.astype("uint64") + np.uint64(2**63 + 12345)
    out = enc.encode(x)
    expected = np.array([[float(v) for v in row] for row in x])
    np.testing.assert_array_equal(out, expected)
    assert out.dtype == np.float64 and out.flags.c_contiguous


def test_float16_special_values(enc):
    x = np.array([[np.inf, -np.inf], [np.nan, 65504.0], [6e-8, -0.0]], dtype=np.float16)
    out = enc.encode(x)
    ref = np.array([[float(v) for v in row] for row in x])
    assert np.array_equal(out, ref, equal_nan=True)
    assert np.array_equal(np.signbit(out), np.signbit(ref))


@pytest.mark.parametrize("shape", [(0, 3), (2, 0), (0, 0)])
@pytest.mark.parametrize("dtype", [object, np.int64])
def test_empty_inputs(enc, shape, dtype):
    out = enc.encode(np.empty(shape, dtype=dtype))
    assert out.shape == shape and out.dtype == np.float64


class ndarray:  # noqa: N801 - taken for an array by its type name
    """A stand-in that only has what the scan reads: shape and subscription."""

    def __init__(self, data, shape=None):
        self.data = data
        self.shape = shape if shape is not None else data.shape

    def __getitem__(self, key):
        return self.data[key]


Subclass = type("ndarray", (np.ndarray,), {})  # a subclass, read by subscription


def _mixed():
    rng = np.random.default_rng(7)
    cells = [1, 2.5, "a", "b", None, True, NAN, pd.NA, "nan", "é", 10**30, np.float32(1.5), np.int64(7)]
    x = np.empty((40, 6), dtype=object)
    for idx in np.ndindex(x.shape):
        x[idx] = cells[rng.integers(len(cells))]
    x[:, 0] = [float(i) for i in range(40)]  # a numeric column
    return x


def same_cells(a, b):
    a, b = np.asarray(a, dtype=object), np.asarray(b, dtype=object)
    return a.shape == b.shape and all(
        type(u) is type(v) and (u == v or (u != u and v != v)) for u, v in zip(a.ravel(), b.ravel())
    )


@pytest.mark.parametrize(
    "wrap",
    [lambda x: ndarray(x), lambda x: x.view(Subclass), np.asfortranarray, lambda x: x[:, ::-1][:, ::-1]],
    ids=["stand-in", "subclass", "fortran", "reversed view"],
)
def test_direct_reads_match_subscription(wrap):
    x = _mixed()
    a, b = brindle.Encoder(), brindle.Encoder()
    fast, slow = a.encode(x), b.encode(wrap(x))
    assert np.array_equal(fast, slow, equal_nan=True)
    assert same_cells(a.decode(x), b.decode(x))


def test_input_is_not_modified(enc):
    x = _mixed()
    before = [id(v) for v in x.ravel()]
    enc.encode(x)
    enc.decode(x)
    assert [id(v) for v in x.ravel()] == before


# ---- cells that share objects ----------------------------------------------------

def fresh(cell):
    """An equal cell that is a new object (one-character and empty str are
    interned by CPython and stay shared)."""
    if isinstance(cell, str) and len(cell) > 1:
        return (cell + "!")[:-1]
    if isinstance(cell, float):
        return float(repr(cell))
    return cell


def _repeating(rows):
    rng = np.random.default_rng(11)
    pool = [f"lab{i}" for i in range(40)] + [NAN, 1.5, None, True, "nan", "\ud800x", "é"]
    return np.array([[pool[i] for i in rng.integers(len(pool), size=3)] for _ in range(rows)], dtype=object)


def _distinct_then_repeating(rows):
    # First rows all distinct objects, then repeats: the scan stops sharing
    # entries part way down the column.
    col = [f"d{i:06}" for i in range(rows // 2)] + [f"r{i % 9}" for i in range(rows - rows // 2)]
    repeat = [NAN] * 5 + ["z"] * 5
    return np.array([[c, repeat[i % 10]] for i, c in enumerate(col)], dtype=object)


@pytest.mark.parametrize("make", [_repeating, _distinct_then_repeating])
@pytest.mark.parametrize("wrap", [lambda x: x, lambda x: ndarray(x)], ids=["array", "stand-in"])
def test_shared_objects_code_like_fresh_copies(make, wrap):
    x = make(40000)
    copies = np.frompyfunc(fresh, 1, 1)(x).astype(object)
    a, b = brindle.Encoder(), brindle.Encoder()
    assert np.array_equal(a.encode(wrap(x)), b.encode(wrap(copies)), equal_nan=True)
    assert same_cells(a.decode(x), b.decode(x))


def _tall_mixed(rows=120_000):
    """Cells of every kind read on the pool, spread so that blocks of rows
    start inside runs of numbers and columns turn to text in later blocks."""
    rng = np.random.default_rng(5)
    text = ["a", "bb", "é", "日本", "\U0001f600", "x\ud800y", "", "nan", "<NA>", "NaN"]
    numbers = [1.5, -0.0, NAN, 1e16, 1e-5, 7, -3, True, False]
    x = np.empty((rows, 5), dtype=object)
    x[:, 0] = [text[i] for i in rng.integers(len(text), size=rows)]
    x[:, 1] = [numbers[i] for i in rng.integers(len(numbers), size=rows)]  # numeric throughout
    late = [numbers[i] for i in rng.integers(len(numbers), size=rows)]
    late[rows * 3 // 4] = "late"  # numeric until here, text from here on
    x[:, 2] = late
    mixed = [text[i] if i % 3 else numbers[i % len(numbers)] for i in rng.integers(len(text), size=rows)]
    for start in range(1000, rows, 1000):  # every block starts inside a run of numbers
        mixed[start:start + 5] = [True, -0.0, 1e16, 1e-5, 7]
    mixed[0] = "first"
    x[:, 3] = mixed  # text from the first row, numbers throughout
    x[:, 4] = [None if i % 7 == 0 else f"v{i % 997}" for i in range(rows)]
    return x


def test_pool_scan_matches_column_by_column_scan():
    x = _tall_mixed()
    a, b = brindle.Encoder(), brindle.Encoder()
    # The stand-in is read by subscription, column by column, with str() and
    # float() done by the interpreter.
    assert np.array_equal(a.encode(x), b.encode(ndarray(x)), equal_nan=True)
    assert same_cells(a.decode(x), b.decode(ndarray(x)))


def test_float_texts_match_repr():
    rng = np.random.default_rng(8)
    special = [0.0, -0.0, 1.0, 0.1, 1e16, 1e15, 9999999999999998.0, 1e-4, 1e-5, 1.5e-5, 123456789.125, 5e-324,
               2.2250738585072014e-308, 1.7976931348623157e308, math.inf, -math.inf, 2.0**63, 1e22, 1e23]
    bits = rng.integers(0, 2**64, size=60_000, dtype=np.uint64).view(np.float64)
    floats = special + [-v for v in special] + bits.tolist()
    labels = labels_of(["x"] + floats)
    assert labels[1:] == [("NaN" if repr(v) == "nan" else repr(v)) for v in floats]


class Replacer:
    """Code run mid-scan: replaces every cell of column 0 (already scanned) and
    the rest of column 1 with new objects, freeing the old ones."""

    def __init__(self, x, row):
        self.x, self.row = x, row

    def __str__(self):
        rows = self.x.shape[0]
        for r in range(rows):
            self.x[r, 0] = f"new{r % 3}".upper()
        for r in range(self.row + 1, rows):
            self.x[r, 1] = f"late{r % 4}".upper()
        return "mid"


def test_objects_freed_by_code_run_mid_scan_are_not_mistaken_for_new_ones():
    rows, row = 400, 200
    x = np.empty((rows, 2), dtype=object)
    # Cells whose only references are the array's, shared by many cells.
    x[:, 0] = [f"old{r % 5}".upper() for r in range(rows)]
    x[:, 1] = [f"early{r % 6}".upper() for r in range(rows)]
    x[row, 1] = Replacer(x, row)
    out = brindle.Encoder().encode(x)
    col0 = [f"OLD{r % 5}" for r in range(rows)]
    col1 = [f"EARLY{r % 6}" for r in range(row)] + ["mid"] + [f"LATE{r % 4}" for r in range(row + 1, rows)]
    for c, labels in enumerate((col0, col1)):
        order = sorted(set(labels))
        assert out[:, c].tolist() == [float(order.index(v)) for v in labels]


# ---- failures ------------------------------------------------------------------

class BadStr:
    def __str__(self):
        raise ValueError("no text")


class BadItem:
    shape = (2, 2)

    def __getitem__(self, key):
        raise KeyError(key)


class ndarray_bad(ndarray):  # noqa: N801
    pass


def _named(cls, name):
    return type(name, (cls,), {})


@pytest.mark.parametrize(
    "obj, message",
    [
        (np.array(["a", "b"], dtype=object), "'shape' is not a pair"),
        (np.zeros(3), "'shape' is not a pair"),
        (np.zeros((1, 1, 1), dtype=object), "'shape' is not a pair"),
        (_named(BadItem, "ndarray")(), "could not read a cell"),
        (np.array([["a", BadStr()]], dtype=object), "^cant convert to str"),
        (np.array([[BadStr()]], dtype=object), "^cant convert to str"),
        (ndarray(np.zeros((1, 1)), shape=(1, -1)), "negative"),
        (ndarray(np.zeros((1, 1)), shape=[1, 1]), "'shape' is not a pair"),
        (ndarray(np.zeros((1, 1)), shape=(1.0, 1)), "integers"),
    ],
)
def test_internal_failures(enc, obj, message):
    with pytest.raises(INTERNAL, match=message) as info:
        enc.encode(obj)
    assert type(info.value) is INTERNAL


def test_frame_without_values_reads_columns_and_shape_first(enc):
    seen = []

    class DataFrame:
        @property
        def columns(self):
            seen.append("columns")
            return ["a"]

        @property
        def shape(self):
            seen.append("shape")
            return (1, 1)

    with pytest.raises(INTERNAL):
        enc.encode(DataFrame())
    assert seen == ["columns", "shape"]


def test_frame_too_large_for_memory_fails_before_values(enc):
    seen = []

    class DataFrame:
        columns = ["a"]
        shape = (10**12, 1)

        @property
        def values(self):
            seen.append("values")
            return np.zeros((1, 1), dtype=object)

    with pytest.raises(MemoryError):
        enc.encode(DataFrame())
    assert seen == []


@pytest.mark.parametrize(
    "shape, exc",
    [
        ((10**12, 10**12), MemoryError),
        ((0, 10**15), MemoryError),
        ((1, 10**12), MemoryError),
        ((2**62, 4), MemoryError),
        ((10**30, 1), INTERNAL),  # not a Py_ssize_t
    ],
)
def test_huge_shapes_fail_cleanly(shape, exc):
    enc = brindle.Encoder()
    enc.encode(np.array([["a"]], dtype=object))
    with pytest.raises(exc):
        enc.encode(ndarray(np.zeros((1, 1)), shape=shape))
    # the earlier books survive a failed encode
    assert list(enc.decode(np.array([["a"]], dtype=object))[:, 0]) == ["a"]


# ---- column names ---------------------------------------------------------------

@pytest.mark.parametrize(
    "columns, names",
    [
        (["a", "b"], ["a", "b"]),
        (pd.RangeIndex(2), ["0", "1"]),
        (pd.Index([-3, 2**63 - 1]), ["-3", str(2**63 - 1)]),
        (pd.Index([True, False], dtype=object), ["1", "0"]),
    ],
)
def test_column_names(columns, names):
    df = pd.DataFrame([[1.0, 2.0]], columns=columns)
    assert list(brindle.Encoder().encode(df).columns) == names


@pytest.mark.parametrize(
    "columns, exc",
    [
        (pd.Index([1.5, 2.5]), TypeError),
        (pd.Index(["a", 1], dtype=object), TypeError),
        (pd.MultiIndex.from_tuples([("a", 1), ("b", 2)]), TypeError),
        (pd.Index([2**64, 1], dtype=object), OverflowError),
    ],
)
def test_column_names_refused(columns, exc):
    df = pd.DataFrame([[1.0, 2.0]], columns=columns)
    with pytest.raises(exc):
        brindle.Encoder().encode(df)


def test_str_as_columns_is_refused(enc):
    class DataFrame:
        columns = "ab"
        shape = (1, 2)

    with pytest.raises(AttributeError):
        enc.encode(DataFrame())
