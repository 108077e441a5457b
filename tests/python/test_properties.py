"""Properties of encode -> decode over generated inputs, pool-size independence,
and allocation failure at every point of a call."""

import json
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import brindle

MARKERS = ("nan", "NaN", "<NA>")

# Derandomized and small enough for every run of the suite.
FAST = settings(
    max_examples=200,
    derandomize=True,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# ---- cells --------------------------------------------------------------------------

# Every code point, lone surrogates included.
any_text = st.text(st.characters(blacklist_categories=()), max_size=6)
numbers = st.one_of(
    st.floats(),
    st.integers(-(2**63), 2**64),
    st.booleans(),
    st.builds(np.float32, st.floats(width=32)),
    st.builds(np.int8, st.integers(-128, 127)),
    st.builds(np.uint64, st.integers(0, 2**64 - 1)),
    st.decimals(allow_nan=False),
    st.fractions(max_denominator=1000),
)
# Cells without a float conversion: each makes its column a text column.
non_numeric = st.one_of(
    any_text,
    st.sampled_from(MARKERS + ("1.5", "3", "None")),
    st.none(),
    st.just(pd.NA),
    st.binary(max_size=3),
)


def text_of(cell):
    """The label of a cell read as text: str(), with lone surrogates repaired."""
    return str(cell).encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def number_text(x):
    """The label of a number gathered before its column turned text: shortest
    round-trip digits in positional notation."""
    if math.isnan(x):
        return "NaN"
    return np.format_float_positional(x, trim="-")


@st.composite
def columns(draw, rows):
    """(cells, labels or None for a numeric column)."""
    kind = draw(st.sampled_from(["numeric", "text", "numbers then text"]))
    if kind == "numeric" or rows == 0:
        cells = draw(st.lists(numbers, min_size=rows, max_size=rows))
        return cells, None
    if kind == "text":
        first = [draw(non_numeric)]
        rest = draw(st.lists(st.one_of(non_numeric, numbers), min_size=rows - 1, max_size=rows - 1))
        return first + rest, [text_of(c) for c in first + rest]
    k = draw(st.integers(0, rows - 1))
    lead = draw(st.lists(st.one_of(st.floats(), st.integers(-(2**53), 2**53), st.booleans()), min_size=k, max_size=k))
    switch = [draw(non_numeric)]
    rest = draw(st.lists(st.one_of(non_numeric, numbers), min_size=rows - k - 1, max_size=rows - k - 1))
    return lead + switch + rest, [number_text(float(c)) for c in lead] + [text_of(c) for c in switch + rest]


@st.composite
def inputs(draw):
    rows = draw(st.integers(0, 7))
    cols = draw(st.integers(1, 4))
    made = [draw(columns(rows)) for _ in range(cols)]
    cells = np.empty((rows, cols), dtype=object)
    for c, (col, _) in enumerate(made):
        for r, cell in enumerate(col):
            cells[r, c] = cell
    as_frame = draw(st.booleans())
    if as_frame:
        names = draw(st.sampled_from([[f"c{i}" for i in range(cols)], list(range(cols)), ["d"] * cols]))
        x = pd.DataFrame({i: pd.Series(cells[:, i], dtype=object) for i in range(cols)})
        x.columns = names
    else:
        x = cells
    return x, cells, [labels for _, labels in made]


def cells_of(x):
    return x.to_numpy() if isinstance(x, pd.DataFrame) else x


def same(a, b):
    return a == b or (a != a and b != b)


# ---- round trip -------------------------------------------------------------------


@FAST
@given(inputs())
def test_round_trip_restores_labels_and_leaves_input_alone(data):
    x, cells, labels = data
    identities = [id(c) for c in cells_of(x).ravel()]
    enc = brindle.Encoder()
    codes = enc.encode(x)
    frame = isinstance(x, pd.DataFrame)
    missing = None if frame else "NaN"
    # Decoding the codes, and decoding the very input (its fresh codes are the
    # stored ones, since its labels are the same).
    for back in (enc.decode(codes), enc.decode(x)):
        got = back.to_numpy() if frame else back
        assert got.shape == cells.shape
        if not frame:
            assert got.dtype == object
        for c, col_labels in enumerate(labels):
            column = got[:, c]
            if col_labels is None:
                if frame:
                    assert back.iloc[:, c].dtype == np.float64
                want = [float(v) for v in cells[:, c]]
                assert all(same(float(g), w) for g, w in zip(column, want))
                if not frame:
                    assert all(type(g) is float for g in column)
            else:
                if frame:
                    assert back.iloc[:, c].dtype == object
                assert list(column) == [missing if s in MARKERS else s for s in col_labels]
    assert [id(c) for c in cells_of(x).ravel()] == identities
    for before, after in zip(cells.ravel(), cells_of(x).ravel()):
        assert before is after


# ---- pool size ----------------------------------------------------------------------

POOL_SCRIPT = textwrap.dedent(
    """
    import hashlib, pickle, numpy as np, pandas as pd, brindle, brindle_books
    rng = np.random.default_rng(7)
    digest = hashlib.sha256()
    cases = []
    for rows, k in [(5, 3), (3000, 50), (40000, 1000), (20000, 20000)]:
        words = np.array([f"w{i:05d}" for i in range(k)] + ["nan", "<NA>"], dtype=object)
        cells = np.empty((rows, 4), dtype=object)
        cells[:, 0] = words[rng.integers(0, len(words), rows)]
        cells[:, 1] = rng.normal(size=rows)
        cells[:, 2] = words[rng.integers(0, len(words), rows)][::-1]
        cells[:, 3] = rng.integers(0, 9, rows)
        cases.append(cells)
        cases.append(pd.DataFrame(cells, columns=list("abcd")))
    # Digits as text, a text column with numbers in it, a float column.
    digits = rng.integers(0, 500, (70000, 6)).astype(str).astype(object)
    digits[::7, 2] = 1.5
    digits[:, 4] = rng.random(70000)
    cases.append(digits)
    for x in cases:
        enc = brindle.Encoder()
        codes = enc.encode(x)
        # Fitted on half the rows, the rest meet unknown labels.
        fitted = brindle_books.FittedEncoder().fit(x[: len(x) // 2])
        looked_up = fitted.transform(x, unknown=-1.0)
        for out in (codes, enc.decode(codes), enc.decode(x), looked_up):
            digest.update(pickle.dumps(out.to_numpy() if hasattr(out, "to_numpy") else out))
    print(digest.hexdigest())
    """
)


def test_results_do_not_depend_on_pool_size():
    digests = set()
    for threads in ("1", "2", "5"):  # 5: an odd count splits blocks unevenly
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        run = subprocess.run([sys.executable, "-c", POOL_SCRIPT], env=env, capture_output=True, text=True)
        assert run.returncode == 0, run.stderr[-2000:]
        digests.add(run.stdout.strip())
    assert len(digests) == 1


# ---- allocation failure -------------------------------------------------------------

SWEEP = os.path.join(os.path.dirname(__file__), "nomemory_sweep.py")


def test_allocation_failure_at_every_point():
    pytest.importorskip("_testcapi")
    run = subprocess.run([sys.executable, SWEEP, "300"], capture_output=True, text=True)
    assert run.returncode == 0, (run.returncode, run.stdout[-500:], run.stderr[-3000:])
    counts = json.loads(run.stdout.strip().splitlines()[-1])
    # Every operation met failures it had to report, and ran to the end.
    for name, outcomes in counts.items():
        assert outcomes.get("MemoryError", 0) > 0, name
        assert outcomes.get("ok", 0) > 0, name
