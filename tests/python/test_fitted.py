"""FittedEncoder: books kept from a fit, later inputs coded by lookup."""

import copy
import inspect
import math
import pickle
import threading

import numpy as np
import pandas as pd
import pytest

import brindle
import brindle_books as bb

NAN = float("nan")


def same(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


@pytest.fixture
def train():
    return pd.DataFrame({"city": ["Lyon", "Paris", NAN, "Nice"], "n": [1, 2, 3, 4], "kind": ["b", 7, "a", 2.5]})


def test_fit_transform_and_transform_give_encode(train):
    fitted = bb.FittedEncoder()
    assert same(fitted.fit_transform(train), brindle.Encoder().encode(train))
    assert same(fitted.transform(train), brindle.Encoder().encode(train))
    assert fitted.n_columns == 3 and fitted.text_columns == (0, 2)
    assert fitted.categories() == [["Lyon", "Nice", "Paris"], None, ["2.5", "7", "a", "b"]]
    # Rows shuffled and cut: each label keeps its code.
    part = train.iloc[[3, 1]]
    assert same(fitted.transform(part), [[1.0, 4.0, 0.0], [2.0, 2.0, 1.0]])


def test_unknown_labels_and_markers(train):
    fitted = bb.FittedEncoder().fit(train)
    new = pd.DataFrame({"city": ["Nice", "Rome", "Oslo"], "n": [1.5, 2, 3], "kind": ["a", "nan", "<NA>"]})
    with pytest.raises(bb.UnknownLabelError, match=r"column 0 \('city'\), row 1: the label 'Rome'") as caught:
        fitted.transform(new)
    assert (caught.value.column, caught.value.row, caught.value.label) == (0, 1, "Rome")
    assert isinstance(caught.value, ValueError)
    assert same(fitted.transform(new, unknown=-1), [[1, 1.5, 2], [-1, 2, NAN], [-1, 3, NAN]])
    assert same(fitted.transform(new, unknown=NAN, missing=-2), [[1, 1.5, 2], [NAN, 2, -2], [NAN, 3, -2]])
    for bad, kind in [("skip", ValueError), (True, TypeError), (None, TypeError)]:
        with pytest.raises(kind):
            fitted.transform(new, unknown=bad)
    missing = inspect.signature(bb.FittedEncoder.transform).parameters["missing"]
    assert missing.kind is inspect.Parameter.KEYWORD_ONLY and math.isnan(missing.default)


def test_numbers_find_either_text_form():
    # '2' learned before the column's first text, '3.0' after it (str()).
    fitted = bb.FittedEncoder().fit(np.array([[2.0], ["x"], [3.0]], dtype=object))
    assert fitted.categories() == [["2", "3.0", "x"]]
    assert same(fitted.transform(np.array([[2.0], [3.0], [NAN]])), [[0], [1], [NAN]])
    assert same(fitted.transform(np.array([[3], [2]])), [[1], [0]])
    with pytest.raises(bb.UnknownLabelError, match="row 0: the label '4'"):
        fitted.transform(np.array([[4.0]]))


def test_refused_inputs(train):
    with pytest.raises(ValueError, match="not fitted"):
        bb.FittedEncoder().transform(train)
    fitted = bb.FittedEncoder().fit(train)
    with pytest.raises(ValueError, match="has 2 columns, but the encoder was fitted on 3"):
        fitted.transform(train[["city", "n"]])
    text_in_numbers = pd.DataFrame({"city": ["Lyon"] * 3, "n": [1, 2, "x"], "kind": ["a"] * 3}, dtype=object)
    with pytest.raises(ValueError, match=r"column 1 \('n'\) held numbers only .* row 2 holds"):
        fitted.transform(text_in_numbers)
    with pytest.raises(TypeError, match="Unsupported type"):
        fitted.transform([[1, 2, 3]])


def test_unused_categories_are_not_unknown():
    fitted = bb.FittedEncoder.from_categories([["a", "b"]])
    column = pd.Categorical(["b", "a"], categories=["a", "b", "zz"])
    assert same(fitted.transform(pd.DataFrame({"c": column})), [[1], [0]])


@pytest.mark.parametrize(
    "categories, error, message",
    [
        ([["a", "b", "a"]], ValueError, r"categories\[0\]\[2\] repeats categories\[0\]\[0\]"),
        ([None, ["NaN"]], ValueError, "missing-value marker"),
        ([["a", 1]], TypeError, r"categories\[0\]\[1\] is a int"),
        (["ab"], TypeError, "not a single text"),
        ("ab", TypeError, "not a str"),
        ([["\ud800"]], ValueError, "lone surrogate"),
        ([3], TypeError, "sequence"),
    ],
)
def test_given_categories_are_checked(categories, error, message):
    with pytest.raises(error, match=message):
        bb.FittedEncoder.from_categories(categories)


def test_given_categories_keep_their_order():
    fitted = bb.FittedEncoder.from_categories([["z", "a"], None])
    assert fitted.categories() == [["z", "a"], None]
    assert same(fitted.transform(np.array([["a", 5], ["z", 6]], dtype=object)), [[1, 5], [0, 6]])
    assert fitted.inverse_transform(np.array([[1.0, 5.0]])).tolist() == [["a", 5.0]]


def test_pickle_copy_and_equality(train):
    fitted = bb.FittedEncoder().fit(train)
    for clone in (pickle.loads(pickle.dumps(fitted, protocol=5)), copy.deepcopy(fitted)):
        assert clone == fitted and clone is not fitted
        assert same(clone.transform(train), fitted.transform(train))
    assert pickle.loads(pickle.dumps(bb.FittedEncoder())) == bb.FittedEncoder()
    assert fitted != bb.FittedEncoder() and fitted != bb.FittedEncoder().fit(train.iloc[:2])
    with pytest.raises(TypeError):
        hash(fitted)


def test_inverse_transform_is_decode(train):
    fitted, enc = bb.FittedEncoder(), brindle.Encoder()
    codes = fitted.fit_transform(train)
    enc.encode(train)
    pd.testing.assert_frame_equal(fitted.inverse_transform(codes), enc.decode(codes))
    array = np.array([["b", 1.0], ["a", 2.0]], dtype=object)
    codes = fitted.fit_transform(array)
    enc.encode(array)
    assert fitted.inverse_transform(codes).tolist() == enc.decode(codes).tolist()
    # A fit on a float64 array keeps no books, as encode does.
    fitted.fit(np.zeros((2, 2)))
    assert fitted.inverse_transform(np.ones((1, 2))).dtype == np.float64


def test_concurrent_transforms_and_a_fit_inside_one(train):
    fitted = bb.FittedEncoder().fit(train)
    big = pd.concat([train] * 5000, ignore_index=True)
    expected = fitted.transform(big)
    results, errors = [], []

    def work():
        try:
            for _ in range(3):
                results.append(same(fitted.transform(big), expected))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and results == [True] * 24

    # A call the first one's cells make is refused, and the first goes on.
    refused = []

    class Calls:
        def __init__(self, call):
            self.call = call

        def __str__(self):
            try:
                self.call()
            except RuntimeError as exc:
                refused.append(str(exc))
            return "Lyon"

    fitted.transform(pd.DataFrame({"city": [Calls(lambda: fitted.fit(train))], "n": [1], "kind": ["a"]}))
    fitted.fit(np.array([[Calls(lambda: fitted.transform(train))]], dtype=object))
    assert refused == ["Already borrowed", "Already mutably borrowed"]
