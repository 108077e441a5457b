"""What an Encoder remembers between calls: its books and their life cycle."""
import numpy as np
import pandas as pd
import pytest

import brindle

from conftest import INTERNAL

TEXT = np.array([["a", 1.0], ["b", 2.0]], dtype=object)
FLOATS = np.array([[0.0, 5.0], [1.0, 6.0]])


def decoded_labels(enc):
    """decode of the codes 0/1 in column 0: labels if books are stored."""
    return enc.decode(np.array([["x", 1.0], ["y", 2.0]], dtype=object))


def has_books(enc):
    return decoded_labels(enc).dtype == object


def test_fresh_encoder_has_no_books():
    enc = brindle.Encoder()
    out = decoded_labels(enc)
    assert out.dtype == np.float64
    np.testing.assert_array_equal(out, [[0.0, 1.0], [1.0, 2.0]])


def test_encode_stores_books_and_decode_uses_them():
    enc = brindle.Encoder()
    np.testing.assert_array_equal(enc.encode(TEXT), [[0.0, 1.0], [1.0, 2.0]])
    # 'x', 'y' are coded afresh as 0, 1 and read back through the stored books
    assert decoded_labels(enc).tolist() == [["a", 1.0], ["b", 2.0]]


def test_passthrough_encode_drops_books():
    enc = brindle.Encoder()
    enc.encode(TEXT)
    enc.encode(FLOATS)
    assert not has_books(enc)


def test_all_numeric_input_stores_empty_books():
    enc = brindle.Encoder()
    enc.encode(np.array([[1, 2.5]], dtype=object))
    out = enc.decode(FLOATS)
    # empty books: an object array of Python floats, not the float64 array of no books
    assert out.dtype == object
    assert out.tolist() == FLOATS.tolist()
    assert all(type(v) is float for v in out.ravel())


@pytest.mark.parametrize(
    "bad, exc",
    [
        ([1, 2], TypeError),
        (np.zeros(3, dtype=object), INTERNAL),
        (np.array([["a"]], dtype="S1").view(np.matrix), TypeError),
    ],
)
def test_failed_encode_keeps_books(bad, exc):
    enc = brindle.Encoder()
    enc.encode(TEXT)
    with pytest.raises(exc):
        enc.encode(bad)
    assert decoded_labels(enc).tolist() == [["a", 1.0], ["b", 2.0]]


def test_decode_never_stores():
    enc = brindle.Encoder()
    enc.encode(TEXT)
    enc.decode(np.array([["p", 1.0], ["q", 2.0], ["r", 3.0]], dtype=object))
    enc.decode(FLOATS)
    assert decoded_labels(enc).tolist() == [["a", 1.0], ["b", 2.0]]


def test_frame_books_serve_array_decode():
    enc = brindle.Encoder()
    enc.encode(pd.DataFrame({"t": ["b", "a"], "n": [1.0, 2.0]}))
    assert decoded_labels(enc).tolist() == [["a", 1.0], ["b", 2.0]]


def test_books_survive_many_encoders():
    encoders = [brindle.Encoder() for _ in range(50)]
    for i, enc in enumerate(encoders):
        enc.encode(np.array([[f"v{i}"], ["w"]], dtype=object))
    del encoders[::2]
    for enc in encoders:
        assert enc.decode(np.array([["a"], ["b"]], dtype=object))[1, 0] == "w"
