"""Result objects of encode and decode: DataFrames, and labels put back."""

import math
import sys

import numpy as np
import pandas as pd
import pytest

import brindle

from leakcheck import check, refuse

MARKERS = ("nan", "NaN", "<NA>")
PATHS = ["array", "frame"]


# ---- a plain reference for decoding ------------------------------------------------


def to_code(x):
    if x >= 2.0**64:
        return 2**64 - 1
    if x < 0:
        return 0
    return int(x)


def book_of(labels):
    """The code -> label book encode builds for a column of these labels."""
    distinct = sorted({s for s in labels if s not in MARKERS}, key=lambda s: s.encode("utf-8"))
    return dict(enumerate(distinct))


def reference_decode(codes, books, names=None):
    """Decoding the slow way: a cast to object, then one item assignment per cell
    (array), or per text column an object cast and an assignment by name (frame)."""
    codes = np.asarray(codes, dtype=np.float64)

    def label(x, missing):
        return missing if math.isnan(x) else books[c].get(to_code(x), missing)

    if names is None:
        out = np.array(codes).astype("object")
        for c in books:
            for r in range(codes.shape[0]):
                out[r, c] = label(codes[r, c], "NaN")
        return out
    out = pd.DataFrame(codes, columns=names)
    for c in books:
        labels = [label(codes[r, c], None) for r in range(codes.shape[0])]
        out[names[c]] = out[names[c]].astype("object")
        out.loc[:, names[c]] = labels
    return out


def assert_same_cells(got, want):
    """Equal shape, dtype, and per cell the same type and value (NaN == NaN)."""
    assert got.dtype == want.dtype and got.shape == want.shape
    for g, w in zip(got.ravel(order="K"), want.ravel(order="K")):
        assert type(g) is type(w)
        assert g == w or (g != g and w != w), (g, w)


def frame_of(codes, names):
    return pd.DataFrame(np.asarray(codes, dtype=np.float64), columns=names)


def decode_input(codes, path, names=("x", "y")):
    return np.asarray(codes, dtype=np.float64) if path == "array" else frame_of(codes, list(names))


@pytest.fixture
def trained(enc):
    """An Encoder whose last input had text in column 0 (a, b, c) and numbers in column 1."""
    enc.encode(np.array([["b", 1.0], ["c", 2.0], ["a", 3.0]], dtype=object))
    return enc


# ---- encode of a DataFrame -------------------------------------------------------------


@pytest.mark.parametrize(
    "index, columns, names",
    [
        (None, ["p", "q"], ["p", "q"]),
        ([7, 3, 5], [0, 1], ["0", "1"]),
        (["r", "s", "t"], pd.RangeIndex(2), ["0", "1"]),
        (pd.MultiIndex.from_tuples([(1, 2), (3, 4), (5, 6)]), ["é", "\u4e2d"], ["é", "\u4e2d"]),
    ],
)
def test_encoded_frame_has_default_index_and_text_names(enc, index, columns, names):
    frame = pd.DataFrame({0: ["u", "t", "u"], 1: [1.5, -2.0, np.nan]}, index=index)
    frame.columns = columns
    out = enc.encode(frame)
    assert type(out) is pd.DataFrame
    assert list(out.columns) == names and all(type(n) is str for n in out.columns)
    assert isinstance(out.index, pd.RangeIndex) and list(out.index) == [0, 1, 2]
    assert (out.dtypes == np.float64).all()
    np.testing.assert_array_equal(out.to_numpy(), [[1.0, 1.5], [0.0, -2.0], [1.0, np.nan]])


# ---- decode: codes to labels ---------------------------------------------------------

# (cell value, label in the trained book a/b/c or None for missing)
CODE_CASES = [
    (np.nan, None),
    (0.0, "a"),
    (-0.0, "a"),
    (2.0, "c"),
    (99.0, None),
    (-3.0, "a"),
    (-0.5, "a"),
    (1.7, "b"),
    (2.9, "c"),
    (np.inf, None),
    (-np.inf, "a"),
    (2.0**64, None),
    (2.0**63, None),
    (1e300, None),
]


@pytest.mark.parametrize("path", PATHS)
def test_cell_values_become_labels(trained, path):
    values = [v for v, _ in CODE_CASES]
    codes = [[v, float(i)] for i, v in enumerate(values)]
    out = trained.decode(decode_input(codes, path))
    missing = "NaN" if path == "array" else None
    want = [missing if label is None else label for _, label in CODE_CASES]
    if path == "array":
        assert out.dtype == object
        assert list(out[:, 0]) == want
        assert all(type(s) is str for s in out[:, 0])
    else:
        assert out.dtypes.tolist() == [np.dtype(object), np.dtype(np.float64)]
        assert out["x"].tolist() == want
    names = None if path == "array" else ["x", "y"]
    want_all = np.asarray(reference_decode(codes, {0: book_of("abc")}, names))
    assert_same_cells(np.asarray(out), want_all)


def test_numeric_columns_of_decoded_array_are_python_floats(trained):
    codes = np.array([[0.0, 1.25, -0.0], [1.0, np.nan, np.inf]])
    out = trained.decode(codes)
    assert out.dtype == object and out.shape == (2, 3)
    for r in range(2):
        for c in (1, 2):
            assert type(out[r, c]) is float
    assert out[0, 1] == 1.25 and math.isnan(out[1, 1]) and out[1, 2] == math.inf
    assert math.copysign(1.0, out[0, 2]) == -1.0
    assert_same_cells(out, reference_decode(codes, {0: book_of("abc")}))


def test_numeric_columns_of_decoded_frame_stay_float64(trained):
    out = trained.decode(frame_of([[0.0, 1.25, 7.0], [1.0, np.nan, 8.0]], ["x", "y", "z"]))
    assert out.dtypes.tolist() == [np.dtype(object), np.dtype(np.float64), np.dtype(np.float64)]
    np.testing.assert_array_equal(out[["y", "z"]].to_numpy(), [[1.25, 7.0], [np.nan, 8.0]])
    assert isinstance(out.index, pd.RangeIndex)


def _unaligned(codes):
    buf = np.zeros(codes.size * 8 + 1, dtype=np.uint8)
    x = np.frombuffer(buf.data, dtype=np.float64, count=codes.size, offset=1).reshape(codes.shape)
    x[...] = codes
    assert not x.flags.aligned
    return x


def _readonly(codes):
    x = codes.copy()
    x.flags.writeable = False
    return x


# Contiguous aligned inputs are read in place, the others through a copy.
LAYOUTS = {
    "C": lambda codes: codes,
    "F": np.asfortranarray,
    "strided": lambda codes: np.repeat(codes, 2, axis=1)[:, ::2],
    "one_row": lambda codes: codes[:1],
    "empty": lambda codes: codes[:0],
    "readonly": _readonly,
    "unaligned": _unaligned,
}


@pytest.mark.parametrize("order", LAYOUTS)
def test_decoded_array_keeps_memory_order(trained, order):
    codes = np.arange(12.0).reshape(4, 3) % 3
    codes[1, 1] = np.nan
    x = LAYOUTS[order](codes)
    before = x.copy(order="K")
    out = trained.decode(x)
    want = reference_decode(x, {0: book_of("abc")})
    assert_same_cells(out, want)
    assert out.flags.c_contiguous == want.flags.c_contiguous
    assert out.flags.f_contiguous == want.flags.f_contiguous
    np.testing.assert_array_equal(x, before)


def test_text_labels_round_trip_through_utf8(enc):
    labels = ["é", "\u4e2d\u6587", "\U0001f600", "a\x00b", "", " "]
    enc.encode(np.array([[s] for s in labels], dtype=object))
    book = book_of(labels)
    out = enc.decode(np.array([[float(c)] for c in book]))
    assert list(out[:, 0]) == [book[c] for c in book]


# ---- decode: what the stored books decide -----------------------------------------


def _no_books(enc):
    pass


def _books_forgotten(enc):
    enc.encode(np.array([["a"]], dtype=object))
    enc.encode(np.zeros((1, 1)))


def _empty_books(enc):
    enc.encode(np.array([[1, 2.5]], dtype=object))


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("state", [_no_books, _books_forgotten, _empty_books])
def test_decode_without_text_columns(enc, state, path):
    state(enc)
    codes = [[1.0, np.nan], [-2.5, 3.0]]
    out = enc.decode(decode_input(codes, path))
    if path == "frame":
        assert type(out) is pd.DataFrame and (out.dtypes == np.float64).all()
        np.testing.assert_array_equal(out.to_numpy(), codes)
    elif state is _empty_books:
        # Books without text columns still turn an array into Python floats.
        assert_same_cells(out, np.array(codes).astype(object))
    else:
        assert out.dtype == np.float64
        np.testing.assert_array_equal(out, codes)


@pytest.mark.parametrize("path", PATHS)
def test_zero_rows(trained, path):
    out = trained.decode(decode_input(np.zeros((0, 2)), path))
    assert out.shape == (0, 2)
    if path == "array":
        assert out.dtype == object
    else:
        assert out.dtypes.tolist() == [np.dtype(object), np.dtype(np.float64)]


def test_all_marker_column_decodes_to_missing(enc):
    enc.encode(pd.DataFrame({"m": pd.Series(["nan", "NaN", "<NA>"], dtype=object), "n": [1.0, 2.0, 3.0]}))
    assert enc.decode(np.array([[0.0, 1.0], [np.nan, 1.0]]))[:, 0].tolist() == ["NaN", "NaN"]
    assert enc.decode(frame_of([[0.0, 1.0]], ["m", "n"]))["m"].tolist() == [None]


# ---- a narrower decode input ------------------------------------------------------


@pytest.fixture
def trained_wide(enc):
    """Text in column 2 of a 3-column input."""
    enc.encode(np.array([[1.0, 2.0, "a"], [3.0, 4.0, "b"]], dtype=object))
    return enc


@pytest.mark.parametrize("path", PATHS)
def test_narrower_input_is_refused(trained_wide, path):
    with pytest.raises(ValueError, match=r"input has 2 columns.*at least 3"):
        trained_wide.decode(decode_input([[1.0, 0.0]], path))
    # The Encoder is unharmed.
    assert trained_wide.decode(np.array([[0.0, 0.0, 1.0]]))[0, 2] == "b"


def test_narrower_input_without_rows_reads_nothing_and_succeeds(trained_wide):
    out = trained_wide.decode(np.zeros((0, 2)))
    assert out.shape == (0, 2) and out.dtype == object


def test_wider_input_decodes_only_the_text_columns(trained):
    out = trained.decode(np.array([[1.0, 2.0, 0.0, 5.0]]))
    assert out[0, 0] == "b" and out[0, 2:].tolist() == [0.0, 5.0]


# ---- names: duplicates and the reference ------------------------------------------


@pytest.mark.parametrize(
    "columns",
    [["a", "a"], ["a", "b"], ["b", "a"]],
)
@pytest.mark.parametrize("text_at", [(0,), (1,), (0, 1)])
def test_columns_are_decoded_by_position(enc, columns, text_at):
    frame = pd.DataFrame({i: ["x", "y", "x"] if i in text_at else [1.0, 2.0, 3.0] for i in range(2)})
    frame.columns = columns
    out = enc.decode(enc.encode(frame))
    assert list(out.columns) == columns
    for i in range(2):
        col = out.iloc[:, i]
        if i in text_at:
            assert col.dtype == object and col.tolist() == ["x", "y", "x"]
        else:
            assert col.dtype == np.float64 and col.tolist() == [1.0, 2.0, 3.0]


def test_unique_names_decode_as_the_reference_does(enc):
    frame = pd.DataFrame(
        {
            "t1": pd.Series(["q", "nan", "p", "q"], dtype=object),
            "n": [0.5, np.nan, 2.0, -1.0],
            "t2": pd.Series(["z", "y", None, "<NA>"], dtype=object),
        }
    )
    enc.encode(frame)
    codes = [[0.0, 1.0, 0.0], [np.nan, 2.0, 5.0], [1.0, -3.0, 1.7], [np.inf, 0.0, -1.0]]
    books = {0: book_of(["q", "p"]), 2: book_of(["z", "y", "None"])}
    out = enc.decode(frame_of(codes, ["t1", "n", "t2"]))
    want = reference_decode(codes, books, ["t1", "n", "t2"])
    pd.testing.assert_frame_equal(out, want, check_exact=True)
    assert_same_cells(out.to_numpy(), want.to_numpy())


def reference_by_position(codes, books, names):
    """The frame assembled the slow way: float64 columns, then each text column
    set in its place as an object Series."""
    codes = np.asarray(codes, dtype=np.float64)
    out = pd.DataFrame(codes, columns=names)
    for c in books:
        labels = [None if math.isnan(x) else books[c].get(to_code(x)) for x in codes[:, c]]
        out.isetitem(c, pd.Series(labels, dtype=object))
    return out


@pytest.mark.parametrize(
    "names, text_at, rows",
    [
        (["a", "a", "b"], (0, 1), 6),
        (["t", "t"], (1,), 3),
        (["x", "n", "y", "n"], (0, 3), 0),
        ([str(i % 7) for i in range(40)], tuple(range(0, 40, 3)), 9),
        (["only"], (0,), 4),
        (["p", "q", "r"], (1,), 1),
    ],
)
def test_decoded_frame_matches_assembly_by_position(enc, names, text_at, rows):
    train = pd.DataFrame({i: pd.Series(["r", "p", "q"], dtype=object) if i in text_at else [1.0, 2.0, 3.0]
                          for i in range(len(names))})
    train.columns = names
    enc.encode(train)
    rng = np.random.default_rng(rows * 100 + len(names))
    pool = np.array([0.0, 1.0, 2.0, 1.7, -3.0, 99.0, np.nan, -0.0, np.inf, 1e300])
    codes = pool[rng.integers(0, len(pool), (rows, len(names)))]
    x = frame_of(codes, names)
    out = enc.decode(x)
    want = reference_by_position(codes, {c: book_of("pqr") for c in text_at}, names)
    pd.testing.assert_frame_equal(out, want, check_exact=True, check_column_type=True, check_index_type=True)
    assert out.columns.equals(want.columns) and out.columns.dtype == want.columns.dtype
    assert_same_cells(out.to_numpy(), want.to_numpy())
    for c in range(len(names)):
        if c not in text_at:
            got = out.iloc[:, c].to_numpy()
            assert got.dtype == np.float64 and (got.view(np.uint64) == codes[:, c].view(np.uint64)).all()
    # Writing into the result leaves the input alone.
    for c in set(range(len(names))) - set(text_at):
        out.iloc[:, c] = 7.0
    np.testing.assert_array_equal(x.to_numpy(), codes)


# ---- round trip ----------------------------------------------------------------------


@pytest.mark.parametrize("kind", PATHS)
def test_mixed_round_trip_restores_labels(enc, kind):
    text = ["b", "nan", "a", "NaN", "<NA>", "ä", "b"]
    nums = [1.0, 2.5, np.nan, -4.0, 0.0, 1e300, 7.0]
    frame = pd.DataFrame({"t": pd.Series(text, dtype=object), "n": nums, "u": pd.Series(list("xyzxyzx"), dtype=object)})
    x = frame if kind == "frame" else frame.to_numpy()
    before = x.copy()
    out = enc.decode(enc.encode(x))
    missing = "NaN" if kind == "array" else None
    want_t = [missing if s in MARKERS else s for s in text]
    got = out if kind == "frame" else pd.DataFrame(out, columns=["t", "n", "u"])
    assert got["t"].tolist() == want_t
    assert got["u"].tolist() == list("xyzxyzx")
    np.testing.assert_array_equal(got["n"].to_numpy(dtype=float), nums)
    if kind == "frame":
        pd.testing.assert_frame_equal(x, before)
    else:
        assert all(a is b or (a != a and b != b) for a, b in zip(x.ravel(), before.ravel()))


# ---- failures pass through unchanged ------------------------------------------------


class Sentinel(Exception):
    pass


def _raise(*args, **kwargs):
    raise Sentinel("from pandas")


@pytest.mark.parametrize(
    "target",
    ["Series", "DataFrame", "RangeIndex"],
)
def test_pandas_errors_reach_the_caller_unchanged(trained, monkeypatch, target):
    x = frame_of([[0.0, 1.0]], ["x", "y"])
    monkeypatch.setattr(pd, target, _raise)
    with pytest.raises(Sentinel, match="from pandas"):
        trained.decode(x)
    monkeypatch.undo()
    assert trained.decode(x)["x"].tolist() == ["a"]


def test_missing_pandas_is_the_import_error(trained, monkeypatch):
    x = frame_of([[0.0, 1.0]], ["x", "y"])
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="pandas"):
        trained.decode(x)


# ---- references ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "case",
    ["array", "frame", "array narrower", "frame narrower"],
)
def test_decode_does_not_leak(trained_wide, case):
    narrow = case.endswith("narrower")
    codes = np.array([[1.0, 2.0, 0.0], [3.0, np.nan, 7.0]])[:, : 2 if narrow else 3]
    x = codes if case.startswith("array") else frame_of(codes, list("xyz"[: codes.shape[1]]))
    run = (lambda: refuse(ValueError, trained_wide.decode, x)) if narrow else (lambda: trained_wide.decode(x))
    # The long warm-up fills the interpreter's and pandas' caches.
    check(run, [trained_wide, x], calls=100, warmup=300)


@pytest.mark.parametrize("path", PATHS)
def test_shared_labels_hold_one_reference_per_cell(enc, path):
    # Longer than one character: those are immortal singletons.
    enc.encode(np.array([["alpha", 1.0], ["beta", 2.0]], dtype=object))
    codes = [[0.0, 1.0]] * 50 + [[np.nan, 1.0]] * 7
    out = enc.decode(decode_input(codes, path))
    column = out[:, 0] if path == "array" else out["x"].to_numpy()
    a = column[0]
    assert all(column[r] is a for r in range(50))
    assert sys.getrefcount(a) == 50 + 2  # the cells, `a`, the call's argument
    if path == "array":
        missing = column[50]
        assert all(column[r] is missing for r in range(50, 57))
        assert sys.getrefcount(missing) == 7 + 2
    del out, column
    assert sys.getrefcount(a) == 2
