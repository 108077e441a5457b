"""brindle_dask.fit and transform against a FittedEncoder fitted on the computed frame,
on the local cluster of test_dask; and where the books are merged."""

import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings

import brindle

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
pytest.importorskip("distributed")
brindle_dask = pytest.importorskip("brindle_dask")
brindle_books = pytest.importorskip("brindle_books")

from test_dask import CASES, CLUSTER, NAN, bits, check, client, frame_of, frames, objects, split  # noqa: E402, F401


def check_fit(ddf):
    whole = ddf.compute()
    want = brindle_books.FittedEncoder().fit(whole)
    fitted = brindle_dask.fit(ddf)
    assert fitted == want
    assert fitted.categories() == want.categories()
    got = brindle_dask.transform(ddf, fitted).compute()
    assert got.index.equals(whole.index)
    assert codes_equal(got, brindle.Encoder().encode(whole))
    # Labels the books lack take the code given, as in one transform.
    again = pickle.loads(pickle.dumps(fitted))
    np.testing.assert_array_equal(
        bits(brindle_dask.transform(ddf, again, unknown=-1.0).compute()),
        bits(want.transform(whole, unknown=-1.0)))


def codes_equal(got, want):
    return list(got.columns) == list(want.columns) and np.array_equal(bits(got), bits(want))


@pytest.mark.parametrize("case", CASES)
def test_fit_and_transform_match_a_fit_on_the_computed_frame(client, case):
    check_fit(frame_of(CASES[case]()))


@settings(CLUSTER, max_examples=15)
@given(parts=frames())
def test_generated_frames_fit_as_the_computed_frame(client, parts):
    check_fit(frame_of(parts))


def test_categorical_columns_across_partitions(client):
    # Categories mixing numbers and text, and str categories missing before the first
    # used one: each partition's first text is the whole frame's to place.
    df = pd.DataFrame({
        "m": pd.Categorical([1.0, NAN, 2.5, "a", 1.0, NAN, 2.5, NAN, "b"], categories=[1.0, 2.5, "a", "b"]),
        "t": pd.Categorical([None] * 5 + ["x"] + [None] * 3, categories=["x", "y"]),
    })
    ddf = frame_of(split(df, [3, 3]))
    check(ddf)
    check_fit(ddf)
    # A column fitted as numbers names the row of the partition's first text.
    numbers = brindle_books.FittedEncoder().fit(df.assign(t=np.zeros(9)))
    with pytest.raises(brindle_dask.PartitionError, match="partition 1.*row 2 holds"):
        brindle_dask.transform(ddf, numbers).compute()


def test_transform_finds_text_far_into_a_partition(client):
    # The second partition's numbers come after the first's text, and its own text only
    # after thousands of them, the first thousands NaN: its leading numbers take their
    # str() texts ('1.0', where the first partition's 1.0 is '1').
    a = objects(1.0, "x", *[NAN] * 3000, *np.arange(3000) / 2, "y", 2.0)
    df = pd.DataFrame({"a": a, "n": objects(*np.arange(len(a)) % 3 / 2)})
    ddf = frame_of(split(df, [2]))
    fitted = brindle_books.FittedEncoder().fit(df)
    np.testing.assert_array_equal(bits(brindle_dask.transform(ddf, fitted).compute()),
                                  bits(fitted.transform(df)))


@pytest.mark.parametrize("case", ["late_text", "str_columns", "other_dtypes", "integer_labels"])
def test_encode_gives_its_books_as_a_fitted_encoder(client, case, monkeypatch):
    ddf = frame_of(CASES[case]())
    codes, books = brindle_dask.encode(ddf)
    # No list of labels is made on the client.
    monkeypatch.setattr(brindle_books, "_run_labels", None)
    got, fitted = brindle_dask.encode(ddf, books="fitted")
    assert fitted == brindle_books.FittedEncoder().fit(ddf.compute())
    assert [c for c in fitted.categories() if c is not None] == list(books.values())
    np.testing.assert_array_equal(bits(got.compute()), bits(codes.compute()))
    pd.testing.assert_frame_equal(brindle_dask.decode(got, fitted).compute(),
                                  brindle_dask.decode(codes, books).compute())


def test_transform_of_new_data_with_unknown_labels(client):
    train = pd.DataFrame({"a": pd.Series(["p", "q", 1.0, "r"], dtype=object), "b": np.arange(4.0)})
    fitted = brindle_dask.fit(frame_of([train.iloc[:2], train.iloc[2:]]))
    test = pd.DataFrame({"a": pd.Series([2.0, "q", "zz", "nan"], dtype=object), "b": np.ones(4)})
    ddf = frame_of([test.iloc[:1], test.iloc[1:]])
    got = brindle_dask.transform(ddf, fitted, unknown=-1.0, missing=-2.0).compute()
    whole = brindle_books.FittedEncoder().fit(train)
    np.testing.assert_array_equal(bits(got), bits(whole.transform(test, unknown=-1.0, missing=-2.0)))
    with pytest.raises(brindle_books.UnknownLabelError):
        brindle_dask.transform(ddf, fitted).compute()


def test_client_receives_the_books_not_the_partitions_label_sets(client, monkeypatch):
    # Eight partitions that each hold the same 20,000 labels: their label sets sum to
    # eight times the books.
    labels = np.array([f"label-{i:06d}" for i in range(20_000)], dtype=object)
    rng = np.random.default_rng(1)
    parts = [pd.DataFrame({"t": pd.Series(rng.permutation(labels), dtype=object)}) for _ in range(8)]
    ddf = frame_of(parts)
    # Nothing is surveyed or merged here: a call on the client fails the test.
    for name in ("_survey", "_merge_runs", "_str_run"):
        monkeypatch.setattr(brindle_books, name, None)
    received = []
    real = brindle_dask._learn

    def spy(*args, **kwargs):
        learned = real(*args, **kwargs)
        received.append(len(pickle.dumps(learned, protocol=5)))
        return learned

    monkeypatch.setattr(brindle_dask, "_learn", spy)
    fitted = brindle_dask.fit(ddf)
    monkeypatch.undo()
    book_bytes = sum(len(s) + 8 for s in labels)
    assert fitted.categories() == [sorted(labels)]
    assert received == [pytest.approx(book_bytes, rel=0.2, abs=4096)]
