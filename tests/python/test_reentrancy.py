"""Calls into an Encoder while it is busy: from code a cell runs, and from other
Python threads."""
import threading

import numpy as np
import pytest

import brindle

from conftest import INTERNAL


class BadStr:
    def __str__(self):
        raise ValueError("no text")


class Reenter:
    def __init__(self, enc, method):
        self.enc, self.method, self.error = enc, method, None

    def __str__(self):
        try:
            getattr(self.enc, self.method)(np.array([["z"]], dtype=object))
        except RuntimeError as exc:
            self.error = str(exc)
        return "r"


@pytest.mark.parametrize(
    "outer, inner, expected",
    [("encode", "encode", "Already borrowed"), ("encode", "decode", "Already mutably borrowed"),
     ("decode", "encode", "Already borrowed"), ("decode", "decode", None)],
)
def test_reentrant_calls(outer, inner, expected):
    enc = brindle.Encoder()
    cell = Reenter(enc, inner)
    getattr(enc, outer)(np.array([[cell]], dtype=object))
    assert cell.error == expected
    # the flag was given back: both kinds of call work again
    enc.encode(np.array([["a"]], dtype=object))
    enc.decode(np.array([["a"]], dtype=object))


@pytest.mark.parametrize("method", ["encode", "decode"])
def test_flag_given_back_after_failure(method):
    enc = brindle.Encoder()
    for bad, exc in (([1], TypeError), (np.array([[BadStr()]], dtype=object), INTERNAL),
                     (np.zeros(2, dtype=object), INTERNAL)):
        with pytest.raises(exc):
            getattr(enc, method)(bad)
    # admitted again, for both kinds of call
    np.testing.assert_array_equal(enc.encode(np.array([["a"]], dtype=object)), [[0.0]])
    assert enc.decode(np.array([["a"]], dtype=object)).tolist() == [["a"]]


def test_python_threads_share_an_encoder():
    enc = brindle.Encoder()
    x = np.array([[f"v{i % 7}", i] for i in range(2000)], dtype=object)
    expected = brindle.Encoder().encode(x)
    errors, results = [], []

    def work():
        for _ in range(20):
            try:
                results.append(enc.encode(x))
            except RuntimeError as exc:
                errors.append(str(exc))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(errors) <= {"Already borrowed"}
    assert results and all(np.array_equal(r, expected) for r in results)
