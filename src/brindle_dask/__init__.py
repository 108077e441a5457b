"""brindle for Dask DataFrames: every partition coded with one set of code books.

    import brindle_dask
    codes, books = brindle_dask.encode(ddf)      # lazy float64 frame, books now
    labels = brindle_dask.decode(codes, books)   # lazy

The codes equal, bit for bit, those of one ``brindle.Encoder().encode(ddf.compute())``,
while no worker holds more than one partition and the books. Two passes over the
data: the first finds, per partition and column, the first cell that is not a number
and the labels the partition can contribute; the client merges those into the books;
the second codes each partition with brindle and renumbers its codes into the books'
numbering through a small lookup array.

Everything that decides a label (which cells are numbers, the text of a number and of
a cell, the markers that get no code) is left to brindle itself, run on the
partition's own cells, so this module never restates those rules.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

import brindle

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(f"brindle_dask needs Dask and pandas: pip install 'brindle[dask]' ({exc})") from exc

__all__ = ["PartitionError", "decode", "encode"]

# Placed after a column's cells to make brindle take them as a text column, so that
# the numbers before it get their number texts; no number text is empty.
_SENTINEL = ""


class PartitionError(Exception):
    """A cell of a partition could not be read as brindle reads it (for example its
    ``str()`` raised). Names the partition, the column and, where found, the row."""

    def __init__(self, partition, column, row, detail):
        super().__init__(partition, column, row, detail)  # args rebuild it after pickling
        self.partition, self.column, self.row, self.detail = partition, column, row, detail

    def __str__(self):
        where = f"partition {self.partition}, column {self.column!r}"
        if self.row is not None:
            where += f", row {self.row} of the partition"
        return f"{where}: {self.detail}"


# --- one column through brindle -----------------------------------------------------


def _code_column(cells):
    """brindle's float codes of one column of cells, and its labels in code order
    (None when brindle found the column numeric)."""
    enc = brindle.Encoder()
    codes = np.asarray(enc.encode(cells.reshape(-1, 1)), dtype=np.float64)[:, 0]
    # The books are not exposed; decoding the codes 0..k-1 reads them back in order.
    # An empty probe first: a numeric column decodes to float64, and its values must
    # not be taken for a count of codes.
    if enc.decode(pd.DataFrame({"c": np.empty(0)}))["c"].dtype != object:
        return codes, None
    probe = pd.DataFrame({"c": np.arange(_code_count(codes), dtype=np.float64)})
    return codes, enc.decode(probe)["c"].tolist()


def _code_count(codes):
    top = np.fmax.reduce(codes, initial=-1.0) if codes.size else -1.0
    return int(top) + 1 if np.isfinite(top) else 0


def _object_column(cells, count=None):
    # fromiter stores each cell as it is; assigning a list would unpack tuple cells.
    return np.fromiter(cells, dtype=object, count=len(cells) if count is None else count)


def _with_sentinel(cells):
    out = np.empty(len(cells) + 1, dtype=object)
    out[: len(cells)] = _object_column(cells)
    out[len(cells)] = _SENTINEL
    return out


def _number_labels(cells):
    """Labels of numeric cells as brindle writes numbers read before a column's first
    text cell."""
    _, labels = _code_column(_with_sentinel(cells))
    return [s for s in labels if s != _SENTINEL]


def _str_cells(cells):
    out = _object_column(cells)
    for i in range(len(out)):
        out[i] = str(out[i])
    return out


def _first_text_row(cells):
    """Row of the first cell without a float conversion, or None.

    math.isnan converts its argument exactly as brindle's scan does (an exact float
    directly, anything else through the interpreter's float conversion, failing
    without one), so a cell is text here exactly when it is text to brindle."""
    isnan = math.isnan
    for i, cell in enumerate(cells):
        try:
            isnan(cell)
        except Exception:  # noqa: BLE001 - any failed conversion makes a text cell
            return i
    return None


def _is_plain_number(dtype):
    # Every cell of such a column converts to float, so it never holds text.
    return isinstance(dtype, np.dtype) and dtype.kind in "iufb"


def _text_candidates(part):
    """(position, cells) of each column that may hold text, the cells being those
    brindle reads from the frame's `values`."""
    chosen = [j for j, dtype in enumerate(part.dtypes) if not _is_plain_number(dtype)]
    if not chosen:
        return []
    if part.iloc[:0].values.dtype == object:
        # `values` converts each block to object on its own, so these columns alone
        # give the same cells without boxing every number of the others.
        cells = part.iloc[:, chosen].to_numpy(dtype=object)
    else:
        cells = part.values[:, chosen]
    return [(j, cells[:, k]) for k, j in enumerate(chosen)]


# --- pass 1: what each partition holds -------------------------------------------------


@dataclass
class _Survey:
    rows: int
    dtypes: list
    # Per column that may hold text (by position): the first text row or None, and
    # the labels of the rows from there on.
    first_text: dict = field(default_factory=dict)
    tail: dict = field(default_factory=dict)
    # Labels of the numeric rows before the first text row (all rows when None),
    # read as numbers (before the column's first text cell overall) and as cells
    # (after it): which applies depends on the partitions before this one.
    head_numbers: dict = field(default_factory=dict)
    head_texts: dict = field(default_factory=dict)
    probe: pd.DataFrame | None = None  # stands for the partition in a dtype check


def _survey(part, number, names, dtypes=None):
    if dtypes is not None:
        part = _cast(part, dtypes)
    out = _Survey(rows=len(part), dtypes=list(part.dtypes))
    if not len(part):
        return out
    out.probe = _dtype_probe(part)
    for j, cells in _text_candidates(part):
        with _blame(number, names[j], cells):
            first = _first_text_row(cells)
            out.first_text[j] = first
            head = len(cells) if first is None else first
            if first is not None:
                _, labels = _code_column(cells[first:])
                out.tail[j] = labels
            if head:
                out.head_numbers[j] = _number_labels(cells[:head])
                _, labels = _code_column(_str_cells(cells[:head]))
                out.head_texts[j] = labels
    return out


# --- client: plan and books ------------------------------------------------------------

# How a partition's column reaches brindle in pass 2.
_AS_IS = 0  # its own cells: brindle's own switch is the whole column's switch
_NUMBERS = 1  # numbers all before the column's first text: number texts
_TEXTS = 2  # numbers before the partition's first text, after the column's: cell texts


@dataclass
class _Plan:
    text: dict  # column position -> the column's labels in code order
    modes: list  # per partition: column position -> (mode, rows of the head)


def _plan(surveys):
    offsets = np.concatenate([[0], np.cumsum([s.rows for s in surveys])])
    starts = {}  # column -> first text row of the whole column
    for s, off in zip(surveys, offsets):
        for j, first in s.first_text.items():
            if first is not None and j not in starts:
                starts[j] = off + first
    labels = {j: set() for j in starts}
    modes = []
    for s, off in zip(surveys, offsets):
        mine = {}
        for j, first in s.first_text.items():
            if j not in starts:
                continue
            labels[j].update(s.tail.get(j, ()))
            head = s.rows if first is None else first
            if not head:
                continue
            if off + head <= starts[j]:
                labels[j].update(s.head_numbers[j])
                if first is None:
                    mine[j] = (_NUMBERS, head)
            else:
                labels[j].update(s.head_texts[j])
                mine[j] = (_TEXTS, head)
        modes.append(mine)
    # Python orders str by code point, which is the byte order of their UTF-8 (the
    # labels come from brindle's books, so they hold no lone surrogates).
    text = {j: sorted(labels[j]) for j in sorted(starts)}
    return _Plan(text=text, modes=modes)


# --- pass 2: codes ---------------------------------------------------------------------


def _encode_part(part, names, modes, lookups, dtypes=None, partition_info=None):
    number = partition_info["number"] if partition_info else None
    if dtypes is not None:
        part = _cast(part, dtypes)
    n = len(part)
    out = np.empty((n, part.shape[1]), dtype=np.float64)
    if not n:
        return pd.DataFrame(out, index=part.index, columns=names)
    mine = modes[number]
    for j, dtype in enumerate(part.dtypes):
        if _is_plain_number(dtype):
            out[:, j] = part.iloc[:, j].to_numpy(dtype=np.float64)
    for j, cells in _text_candidates(part):
        mode, head = mine.get(j, (_AS_IS, 0))
        with _blame(number, names[j], cells):
            if mode == _NUMBERS:
                codes, local = _code_column(_with_sentinel(cells))
                codes = codes[:n]
            elif mode == _TEXTS:
                fixed = _object_column(cells)
                fixed[:head] = _str_cells(cells[:head])
                codes, local = _code_column(fixed)
            else:
                codes, local = _code_column(cells)
            if j in lookups:
                out[:, j] = _renumber(codes, local, lookups[j], names[j])
            else:
                out[:, j] = codes
    return pd.DataFrame(out, index=part.index, columns=names)


def _renumber(codes, local, lookup, name):
    """Local codes to the books' codes: a lookup array indexed by local code, with a
    last entry for the local NaN (markers)."""
    to_global = lookup.get_indexer(pd.Index(local, dtype=object))
    lost = [local[i] for i in np.flatnonzero(to_global < 0) if local[i] != _SENTINEL]
    if lost:
        raise RuntimeError(f"column {name!r}: labels missing from the books: {lost[:5]!r}")
    table = np.append(np.where(to_global < 0, np.nan, to_global.astype(np.float64)), np.nan)
    index = np.where(np.isnan(codes), len(local), codes).astype(np.intp)
    return np.take(table, index)


class _blame:
    """Re-raises a failure inside a partition's column as PartitionError."""

    def __init__(self, number, column, cells):
        self.number, self.column, self.cells = number, column, cells

    def __enter__(self):
        return self

    def __exit__(self, kind, exc, tb):
        if exc is None or isinstance(exc, (KeyboardInterrupt, SystemExit, MemoryError)):
            return False
        raise PartitionError(self.number, self.column, _failing_row(self.cells),
                             f"{type(exc).__name__}: {exc}") from exc


def _failing_row(cells):
    # brindle reads a text cell with str(); the first cell whose str() raises is
    # almost always the culprit.
    for i, cell in enumerate(cells):
        try:
            str(cell)
        except Exception:  # noqa: BLE001
            return i
    return None


# --- dtypes that differ between partitions ----------------------------------------------


def _dtype_probe(part):
    """One row per column that stands for the partition when pandas picks the dtype
    of a concatenation: a valid cell where the column has one."""
    columns = {}
    for j in range(part.shape[1]):
        col = part.iloc[:, j]
        valid = col.notna().to_numpy()
        i = int(valid.argmax()) if valid.any() else 0
        columns[j] = col.iloc[i : i + 1].reset_index(drop=True)
    probe = pd.DataFrame(columns)
    probe.columns = part.columns
    return probe


def _cast(part, dtypes):
    if list(part.dtypes) == dtypes:
        return part
    return part.astype(dict(zip(part.columns, dtypes)))


def _common_dtypes(surveys):
    """None when the non-empty partitions agree on their dtypes (then the computed
    frame has the same, and each partition's own cells are the frame's); otherwise
    the dtypes of their concatenation, which each partition is cast to."""
    filled = [s for s in surveys if s.rows]
    if not filled or all(s.dtypes == filled[0].dtypes for s in filled[1:]):
        return None
    return list(pd.concat([s.probe for s in filled], ignore_index=True).dtypes)


# --- public ------------------------------------------------------------------------------


def _names(ddf):
    # brindle's own reading of the column labels: texts as they are, integers as
    # decimal text, anything else refused with brindle's error.
    return list(brindle.Encoder().encode(pd.DataFrame(columns=ddf.columns)).columns)


def _surveys(ddf, names, dtypes):
    parts = ddf.to_delayed()
    if len(parts) != ddf.npartitions:  # the second pass numbers partitions as these
        raise RuntimeError(f"{len(parts)} delayed partitions for {ddf.npartitions} partitions")
    tasks = [dask.delayed(_survey)(p, i, names, dtypes) for i, p in enumerate(parts)]
    return list(dask.compute(*tasks))


def encode(ddf):
    """Codes a Dask DataFrame as one ``brindle.Encoder().encode`` of the whole frame
    would.

    Returns ``(codes, books)``: ``codes`` a lazy Dask DataFrame of float64 with the
    partitions, index and divisions of ``ddf`` and brindle's column names;
    ``books`` a dict from the name of each text column, in column order, to its
    labels in code order. Reads ``ddf`` once now (to find the text columns and
    their labels) and once more whenever ``codes`` is computed.
    """
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"encode() takes a dask DataFrame, not {type(ddf).__name__}")
    names = _names(ddf)
    if len(set(names)) != len(names):
        raise ValueError("encode() needs distinct column names")
    surveys = _surveys(ddf, names, None)
    dtypes = _common_dtypes(surveys)
    if dtypes is not None:
        # The partitions' own cells are not the computed frame's: read them once
        # more, cast as the concatenation casts them (a third pass, for such frames
        # only).
        surveys = _surveys(ddf, names, dtypes)
    plan = _plan(surveys)
    books = {names[j]: labels for j, labels in plan.text.items()}
    lookups = {j: pd.Index(labels, dtype=object) for j, labels in plan.text.items()}
    meta = pd.DataFrame(
        {name: pd.Series(dtype=np.float64) for name in names},
        index=ddf._meta.index,
        columns=names,
    )
    codes = ddf.map_partitions(
        _encode_part,
        names,
        dask.delayed(plan.modes),
        dask.delayed(lookups),
        dtypes,
        meta=meta,
        partition_info=True,
        enforce_metadata=False,
    )
    return codes, books


def _decode_part(codes, names, tables):
    out = {}
    for j, name in enumerate(names):
        column = codes.iloc[:, j].to_numpy(dtype=np.float64)
        table = tables.get(name)
        labels = column if table is None else _labels_of(column, table)
        # An explicit dtype: pandas 3 would make an object array of str a str column.
        out[name] = pd.Series(labels, index=codes.index, dtype=labels.dtype, copy=False)
    return pd.DataFrame(out, index=codes.index, columns=names)


def _labels_of(column, table):
    """Labels of float codes as brindle's decode reads them: NaN and codes past the
    book give None, negative values code 0, others their integer part."""
    count = len(table) - 1  # the last entry of the table is None
    clipped = np.where(column < 0, 0.0, column)
    known = clipped < count  # False for NaN too
    index = np.full(len(column), count, dtype=np.intp)
    index[known] = clipped[known].astype(np.intp)
    return np.take(table, index)


def decode(codes, books):
    """Puts the labels of ``books`` back into ``codes``, as ``Encoder.decode`` of the
    whole frame does after the ``encode`` that gave the books.

    ``codes`` is a Dask DataFrame (usually the codes from ``encode``); a column whose
    name has a book becomes an object column of str labels or None, every other
    column float64. Lazy; a ``codes`` frame with columns that are not plain numbers
    is first coded itself, as ``Encoder.decode`` does.
    """
    if not isinstance(codes, dd.DataFrame):
        raise TypeError(f"decode() takes a dask DataFrame, not {type(codes).__name__}")
    if not all(_is_plain_number(t) for t in codes.dtypes):
        codes, _ = encode(codes)
    names = _names(codes)
    missing = [name for name in books if name not in names]
    if missing:
        raise ValueError(f"decode(): no column for the books of {missing!r}")
    tables = {}
    for name, labels in books.items():
        table = np.empty(len(labels) + 1, dtype=object)
        table[: len(labels)] = labels
        tables[name] = table
    meta = pd.DataFrame(
        {
            name: pd.Series(dtype=object if name in tables else np.float64)
            for name in names
        },
        index=codes._meta.index,
        columns=names,
    )
    return codes.map_partitions(
        _decode_part, names, dask.delayed(tables), meta=meta, enforce_metadata=False
    )
