"""FittedEncoder against a small model of fit and transform written from the rules
of docs/rules.md, over the generated inputs of test_properties."""

import math
import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import brindle
import brindle_books as bb
from test_properties import FAST, MARKERS, inputs, number_text, text_of

NAN = float("nan")


def bits(a):
    a = np.ascontiguousarray(np.asarray(a, dtype=np.float64))
    return a.shape, a.view(np.uint64).tolist()


def is_number(cell):
    try:
        float(cell)
    except (TypeError, ValueError):
        return False
    return not isinstance(cell, (str, bytes))


def model_fit(labels):
    """Each text column's book: its distinct labels but the markers, in code point order."""
    return [None if col is None else sorted(set(col) - set(MARKERS)) for col in labels]


def known_number(cell):
    """The value of a number the readers can read without running its code, else None."""
    if type(cell) is float or isinstance(cell, bool):
        return float(cell)
    if type(cell) is int and -2**63 <= cell < 2**63:
        return float(cell)
    return None


def other_form(text, value):
    """A number's other text: the shortest positional one, unless that is its text."""
    positional = number_text(value)
    return positional if text != positional else repr(value)


def model_transform(books, cells, *, unknown="error", missing=NAN):
    """Codes by lookup. A text column is read as at fit (numbers before its first text by
    rule N, the rest by str()); a number whose text is not in the book tries its other form
    (for a number after the first text, only one read without running its code)."""
    out = np.empty(cells.shape, dtype=np.float64)
    for j, book in enumerate(books):
        column = cells[:, j]
        if book is None:
            out[:, j] = [float(c) for c in column]
            continue
        code = {label: float(i) for i, label in enumerate(book)}
        texts_yet = False
        for i, cell in enumerate(column):
            texts_yet = texts_yet or not is_number(cell)
            if not texts_yet:
                value = float(cell)
                forms = [number_text(value), repr(value)]
            else:
                forms = [text_of(cell)]
                if (value := known_number(cell)) is not None:
                    forms.append(other_form(forms[0], value))
            if forms[0] in MARKERS:
                out[i, j] = missing
            elif any(f in code for f in forms):
                out[i, j] = next(code[f] for f in forms if f in code)
            elif unknown == "error":
                raise LookupError((j, i, forms[0]))
            else:
                out[i, j] = unknown
    return out


def like(x, cells):
    """cells in the kind of x (a frame keeps x's column names)."""
    if isinstance(x, pd.DataFrame):
        frame = pd.DataFrame({i: pd.Series(cells[:, i], dtype=object) for i in range(cells.shape[1])})
        frame.columns = x.columns
        return frame
    return cells


@FAST
@given(inputs(), st.data())
def test_fit_and_transform_follow_the_model(case, data):
    x, cells, labels = case
    fitted = bb.FittedEncoder()
    codes = fitted.fit_transform(x)
    assert bits(codes) == bits(brindle.Encoder().encode(x))
    books = model_fit(labels)
    assert fitted.categories() == books
    assert bits(bb.FittedEncoder().fit(x).transform(x)) == bits(codes)

    rows = data.draw(st.lists(st.integers(0, max(len(cells) - 1, 0)), max_size=6)) if len(cells) else []
    part = cells[rows]
    # New rows: a label no book holds in every text column, 0 in the numeric ones.
    fresh = np.array([[0.0 if b is None else "\x00unseen" for b in books]], dtype=object)
    new = np.concatenate([part, fresh]) if data.draw(st.booleans()) else part
    revived = pickle.loads(pickle.dumps(fitted, protocol=5))
    given_books = bb.FittedEncoder.from_categories(books)
    assert revived == fitted == given_books
    for unknown in ["error", -1.0, NAN]:
        for enc in (fitted, revived, given_books):
            try:
                expected = model_transform(books, new, unknown=unknown, missing=-2.0)
            except LookupError as e:
                with pytest.raises(bb.UnknownLabelError) as caught:
                    enc.transform(like(x, new), unknown=unknown, missing=-2.0)
                assert (caught.value.row, caught.value.label) == (e.args[0][1], e.args[0][2])
                continue
            got = enc.transform(like(x, new), unknown=unknown, missing=-2.0)
            assert bits(got) == bits(expected)


def test_hand_cases():
    # '1' learned before the first text, '1.0' after it: each number finds its own form first.
    fitted = bb.FittedEncoder().fit(np.array([[1.0], ["x"], [1.0]], dtype=object))
    assert fitted.categories() == [["1", "1.0", "x"]]
    assert bits(fitted.transform(np.array([[1.0], ["x"], [1.0]], dtype=object))) == bits([[0], [2], [1]])
    assert bits(fitted.transform(np.array([["x"], [1.0]], dtype=object))) == bits([[2], [1]])
    # The caller's order is the code order; markers and duplicates are refused.
    given_books = bb.FittedEncoder.from_categories([["b", "a"], None])
    frame = pd.DataFrame({"c": ["a", "NaN", "b"], "n": [1, 2, 3]})
    assert bits(given_books.transform(frame, missing=-2)) == bits([[1, 1], [-2, 2], [0, 3]])
    for bad in ([["a", "a"]], [["nan"]], [[1]]):
        with pytest.raises((ValueError, TypeError)):
            bb.FittedEncoder.from_categories(bad)
    # One-row requests give the codes of the same rows in the whole table.
    train = pd.DataFrame({"c": list("zyxzy"), "n": np.arange(5.0)})
    fitted = bb.FittedEncoder().fit(train)
    whole = fitted.transform(train)
    for i in range(len(train)):
        assert bits(fitted.transform(train.iloc[[i]])) == bits(whole[i : i + 1])
    assert math.isnan(fitted.transform(pd.DataFrame({"c": ["w"], "n": [0.0]}), unknown=NAN).iloc[0, 0])


@pytest.mark.parametrize("train, new", [
    # (training column, new column); the number is coded as at fit, by the other rule.
    ([["x"], [0.0]], [[0.0], ["x"]]),
    ([[0.0], ["x"]], [["x"], [0.0]]),
    ([[2.5], ["x"]], [["x"], [2.5]]),
    ([[1.0], ["x"]], [["x"], [True]]),
    ([["x"], [2]], [[2.0], ["x"]]),
])
def test_a_number_finds_its_other_text_form(train, new):
    fitted = bb.FittedEncoder()
    codes = fitted.fit_transform(np.array(train, dtype=object))
    want = codes[[r for r, c in enumerate(train) if not isinstance(c[0], str)][0]]
    got = fitted.transform(np.array(new, dtype=object))
    assert got[[r for r, c in enumerate(new) if not isinstance(c[0], str)][0]].tolist() == want.tolist()
    # The same through a frame's object column.
    frame = pd.DataFrame({"c": pd.Series([c[0] for c in new], dtype=object)})
    assert fitted.transform(frame).to_numpy().tolist() == got.tolist()


def test_a_text_is_not_a_number():
    fitted = bb.FittedEncoder().fit(np.array([[0.0], ["x"]], dtype=object))  # learns '0'
    assert fitted.transform(np.array([["x"], [0.0]], dtype=object)).tolist() == [[1.0], [0.0]]
    with pytest.raises(bb.UnknownLabelError) as caught:
        fitted.transform(np.array([["x"], ["0.0"]], dtype=object))
    assert (caught.value.row, caught.value.label) == (1, "0.0")
