"""Arrow tables (pyarrow, polars, any __arrow_c_stream__ object) in the fitted
encoder: the codes of their pandas form, results of their own kind, and
buffers that lie refused."""

import ctypes

import numpy as np
import pytest

import brindle

pa = pytest.importorskip("pyarrow")
FittedEncoder = pytest.importorskip("brindle_books").FittedEncoder
try:
    import polars as pl
except ImportError:  # the old environment has no polars
    pl = None
needs_polars = pytest.mark.skipif(pl is None, reason="needs polars")
# A table reads as its pandas 3 form, whose text columns are `str` with NaN for
# null; pandas 2 gives object columns of None instead.
pd = pytest.importorskip("pandas")
needs_pandas3 = pytest.mark.skipif(int(pd.__version__.split(".")[0]) < 3, reason="compares with pandas 3's form")


class Stream:
    """An object that is nothing but its Arrow stream."""

    def __init__(self, table):
        self.table = table

    def __arrow_c_stream__(self, requested_schema=None):
        return self.table.__arrow_c_stream__(requested_schema)


def bits(a):
    a = np.ascontiguousarray(np.asarray(a, dtype=np.float64))
    return a.shape, a.view(np.uint64).tolist()


def as_matrix(result):
    if isinstance(result, (pa.Table, pa.RecordBatch)):
        return np.column_stack([np.asarray(c) for c in result.columns]).reshape(result.num_rows, result.num_columns)
    if pl is not None and isinstance(result, pl.DataFrame):
        return result.to_numpy()
    return result


def pandas_codes(table):
    return brindle.Encoder().encode(table.to_pandas()).to_numpy()


rng = np.random.default_rng(7)
N = 700
WORDS = np.array(["b", "a", "nan", "NaN", "<NA>", "é", "Z", "ü longer than twelve bytes", "", "None"], dtype=object)
_mask = rng.random(N) < 0.15
_text = pa.array([None if m else w for w, m in zip(rng.choice(WORDS, N), _mask)])

FRAMES = {
    "numbers": pa.table({
        "i8": pa.array(rng.integers(-9, 9, N), pa.int8()),
        "u64": pa.array(np.r_[np.array([2**64 - 1], np.uint64), rng.integers(0, 10, N - 1).astype(np.uint64)]),
        "i_null": pa.array([None if m else int(v) for v, m in zip(rng.integers(0, 5, N), _mask)]),
        "f32": pa.array(rng.random(N).astype(np.float32)),
        "f16": pa.array(np.resize(np.array([0.1, -2, np.inf, np.nan, 6e-8, -0.0], np.float16), N)),
        "f": pa.array(np.resize([1.5, np.nan, -0.0], N)),
        "bool": pa.array(rng.integers(0, 2, N).astype(bool)),
    }),
    "strings": pa.table({
        "s": _text,
        "large": _text.cast(pa.large_string()),
        "view": _text.cast(pa.string_view()),
        "dict": _text.dictionary_encode(),
        "dict8": pa.DictionaryArray.from_arrays(pa.array(rng.integers(0, 3, N), pa.int8()), pa.array(["q", "nan", "p", "unused"])),
        "x": pa.array(rng.random(N)),
    }),
    # Nulls that pandas' form holds as objects: booleans with None, the null type.
    "nulls": pa.table({
        "bool_null": pa.array([None if m else bool(v) for v, m in zip(rng.integers(0, 2, N), _mask)]),
        "null": pa.nulls(N),
        "all_null_str": pa.nulls(N, pa.string()),
        "all_null_dict": pa.nulls(N, pa.dictionary(pa.int32(), pa.string())),
        "lead_null": pa.array([None] * 3 + ["w"] * (N - 3)),
    }),
    "chunks": pa.Table.from_batches([
        pa.record_batch({"d": pa.array(["x", "y", None]).dictionary_encode(), "s": pa.array(["k", None, "j"])}),
        pa.record_batch({"d": pa.array([None, "z", "x"]).dictionary_encode(), "s": pa.array(["é", "k", None])}),
    ]).slice(1, 4),
    "zero rows": pa.table({"s": pa.array([], pa.string()), "n": pa.array([], pa.float64()), "z": pa.nulls(0)}),
}


@needs_pandas3
@pytest.mark.parametrize("name", FRAMES)
def test_codes_are_those_of_the_pandas_form(name):
    table = FRAMES[name]
    want = bits(pandas_codes(table))
    forms = [(table, pa.Table), (Stream(table), np.ndarray)]
    if table.num_rows:
        forms.append((table.combine_chunks().to_batches()[0], pa.RecordBatch))
    for form, kind in forms:
        got = FittedEncoder().fit_transform(form)
        assert type(got) is kind
        assert bits(as_matrix(got)) == want


@needs_polars
@needs_pandas3
@pytest.mark.parametrize("name", ["numbers", "strings", "nulls", "chunks", "zero rows"])
def test_polars_codes_are_those_of_its_pandas_form(name):
    frame = pl.from_arrow(FRAMES[name].drop_columns([c for c in ["f16"] if c in FRAMES[name].column_names]))
    got = FittedEncoder().fit_transform(frame)
    assert isinstance(got, pl.DataFrame)
    assert got.columns == frame.columns
    assert all(t == pl.Float64 for t in got.dtypes)
    assert bits(got.to_numpy()) == bits(brindle.Encoder().encode(frame.to_pandas()).to_numpy())


@needs_polars
@needs_pandas3
def test_polars_round_trip_and_book_fitted_on_pandas():
    frame = pl.DataFrame({
        "city": ["Oslo", None, "Bergen", "Ålesund", "Oslo"],
        "kind": pl.Series(["b", "a", None, "a", "b"], dtype=pl.Enum(["z", "a", "b"])),
        "t": [1.5, None, 3.0, 4.0, 5.0],
    })
    enc = FittedEncoder()
    codes = enc.fit_transform(frame)
    back = enc.inverse_transform(codes)
    assert isinstance(back, pl.DataFrame)
    assert back.dtypes == [pl.String, pl.String, pl.Float64]
    assert back["city"].to_list() == ["Oslo", None, "Bergen", "Ålesund", "Oslo"]
    assert back["kind"].to_list() == ["b", "a", None, "a", "b"]

    on_pandas = FittedEncoder().fit(frame.to_pandas())
    assert bits(on_pandas.transform(frame).to_numpy()) == bits(codes.to_numpy())
    with pytest.raises(ValueError, match="Trondheim"):
        on_pandas.transform(pl.DataFrame({"city": ["Trondheim"], "kind": ["a"], "t": [1.0]}))


def test_pyarrow_inverse_is_of_its_kind():
    table = pa.table({"ö": ["b", None, "a"], "x": [1.0, 2.0, None]})
    enc = FittedEncoder()
    codes = enc.fit_transform(table)
    assert codes.column_names == ["ö", "x"]
    back = enc.inverse_transform(codes)
    assert isinstance(back, pa.Table)
    assert back.schema.types == [pa.string(), pa.float64()]
    assert back.column("ö").to_pylist() == ["b", None, "a"]
    batch = enc.inverse_transform(enc.transform(table.to_batches()[0]))
    assert isinstance(batch, pa.RecordBatch)


def test_refused_inputs():
    for bad in [pa.table({"t": pa.array([1], pa.timestamp("s"))}), pa.table({"l": pa.array([[1]])}),
                pa.table({"b": pa.array([b"x"])})]:
        with pytest.raises(TypeError, match=f"'{bad.column_names[0]}'.*format"):
            FittedEncoder().fit(bad)
    with pytest.raises(TypeError, match="Unsupported type: 'Table'"):
        brindle.Encoder().encode(pa.table({"s": ["a"]}))


def _buffer(values, dtype):
    return pa.py_buffer(np.asarray(values, dtype).tobytes())


def _views(*views):
    v = np.zeros(len(views), dtype=[("len", "<i4"), ("prefix", "S4"), ("buffer", "<i4"), ("offset", "<i4")])
    v[:] = list(views)
    return pa.py_buffer(v.tobytes())


class _CArray(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int64) for name in ("length", "null_count", "offset", "n_buffers", "n_children")] + [
        (name, ctypes.c_void_p) for name in ("buffers", "children", "dictionary", "release", "private_data")]


def _recounted(array, null_count):
    """The array through the C interface with another null count, which pyarrow takes as given."""
    c = _CArray()
    array._export_to_c(ctypes.addressof(c))
    c.null_count = null_count
    return pa.Array._import_from_c(ctypes.addressof(c), array.type)


LIES = {
    "no nulls counted over a null": _recounted(pa.array([1, None, 3]), 0),
    "two nulls counted over one": _recounted(pa.array(["a", None, "c"]), 2),
    "offsets going down": pa.Array.from_buffers(pa.string(), 3, [None, _buffer([0, 4, 1, 5], np.int32), pa.py_buffer(b"abcde")]),
    "view of a missing buffer": pa.Array.from_buffers(pa.string_view(), 1, [None, _views((20, b"abcd", 3, 0)), pa.py_buffer(b"x" * 20)]),
    "view past its buffer": pa.Array.from_buffers(pa.string_view(), 1, [None, _views((20, b"abcd", 0, 10)), pa.py_buffer(b"x" * 20)]),
    "index out of range": pa.DictionaryArray.from_arrays(pa.array([0, 5], pa.int32()), pa.array(["a"]), safe=False),
    "negative index": pa.DictionaryArray.from_arrays(pa.array([0, -2], pa.int8()), pa.array(["a"]), safe=False),
    "not UTF-8": pa.Array.from_buffers(pa.string(), 2, [None, _buffer([0, 1, 2], np.int32), pa.py_buffer(b"a\xff")]),
    "unused category not UTF-8": pa.DictionaryArray.from_arrays(
        pa.array([0, 0], pa.int32()),
        pa.Array.from_buffers(pa.string(), 2, [None, _buffer([0, 1, 2], np.int32), pa.py_buffer(b"a\xff")])),
}


@pytest.mark.parametrize("lie", LIES)
def test_lying_buffers_are_refused(lie):
    with pytest.raises(ValueError, match="'c'"):
        FittedEncoder().fit(pa.table({"x": pa.array([1.0] * len(LIES[lie])), "c": LIES[lie]}))
