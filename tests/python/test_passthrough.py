import warnings

import numpy as np
import pandas as pd
import pytest

import brindle


def _views():
    base = np.arange(24.0).reshape(4, 6)
    return {
        "C": base.copy(),
        "F": np.asfortranarray(base),
        "strided": base[::2, 1::2],
        "reversed": base[::-1, ::-1],
        "broadcast": np.broadcast_to(np.arange(3.0), (4, 3)),
        "unaligned": np.frombuffer(b"\0" + base.tobytes(), dtype=np.float64, offset=1).reshape(4, 6),
        "empty rows": np.zeros((0, 3)),
        "empty cols": np.zeros((2, 0)),
        "nan and inf": np.array([[np.nan, -np.inf], [np.inf, -0.0]]),
        "native '=f8'": np.zeros((2, 2), dtype="=f8"),
    }


@pytest.mark.parametrize("name", list(_views()))
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_float64_passes_through(enc, name, method):
    x = _views()[name]
    before = x.copy()
    out = getattr(enc, method)(x)
    assert type(out) is np.ndarray and out.dtype == np.float64
    assert out.shape == x.shape
    np.testing.assert_array_equal(out, x)
    assert np.array_equal(np.signbit(out), np.signbit(x))
    assert not np.shares_memory(out, x)
    np.testing.assert_array_equal(x, before)
    if x.flags.c_contiguous:
        assert out.flags.c_contiguous
    elif x.flags.f_contiguous:
        assert out.flags.f_contiguous
    else:
        assert out.flags.c_contiguous


def test_memmap_comes_back_as_plain_array(enc, tmp_path):
    m = np.memmap(tmp_path / "m.bin", dtype=np.float64, mode="w+", shape=(3, 2))
    m[:] = np.arange(6.0).reshape(3, 2)
    out = enc.encode(m)
    assert type(out) is np.ndarray
    np.testing.assert_array_equal(out, np.arange(6.0).reshape(3, 2))


def test_subclass_named_ndarray_is_accepted(enc):
    class ndarray(np.ndarray):  # noqa: N801 - the name is what is tested
        pass

    x = np.ones((2, 2)).view(ndarray)
    out = enc.encode(x)
    assert type(out) is np.ndarray
    np.testing.assert_array_equal(out, np.ones((2, 2)))


def _matrix():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.matrix([[1.0]])


@pytest.mark.parametrize(
    "obj, name",
    [
        ([[1.0]], "list"),
        (((1.0,),), "tuple"),
        (pd.Series([1.0]), "Series"),
        (_matrix(), "matrix"),
        (1.5, "float"),
        (None, "NoneType"),
        (type("Unicode\u00e9Name", (), {})(), "Unicode\u00e9Name"),
    ],
)
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_unsupported_types(enc, capfd, obj, name, method):
    with pytest.raises(TypeError) as info:
        getattr(enc, method)(obj)
    assert str(info.value) == (
        f"Unsupported type: '{name}'. Supported types are: numpy.ndarray, pandas.DataFrame"
    )
    out, err = capfd.readouterr()
    assert out == name + "\n"
    assert err == ""

