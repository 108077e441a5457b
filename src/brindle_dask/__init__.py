"""brindle for Dask DataFrames: every partition coded with one set of code books.

    import brindle_dask
    codes, books = brindle_dask.encode(ddf)      # lazy float64 frame, books now
    labels = brindle_dask.decode(codes, books)   # lazy
    codes, fitted = brindle_dask.encode(ddf, books="fitted")  # the books held compactly
    fitted = brindle_dask.fit(ddf)               # a brindle_books.FittedEncoder
    codes = brindle_dask.transform(ddf, fitted)  # lazy, partition by partition

The codes equal, bit for bit, those of one ``brindle.Encoder().encode(ddf.compute())``,
and ``fit`` gives the FittedEncoder that fitting on the computed frame gives, while no
worker holds more than one partition and the books. Two passes over the data:

1. Each partition is read and coded natively (Arrow text in place), and reports per
   column the row of its first text cell and its distinct labels in byte order as
   compact runs (two bytes objects). The runs are merged in partition order by Dask's
   own tree reduction on the workers, as sorted merges of sorted runs, so the client
   receives only the books and a few numbers per partition.
2. Each partition is coded by lookup in the merged books (FittedEncoder.transform).

Everything that decides a label (which cells are numbers, the text of a number and of
a cell, the markers that get no code) is left to brindle itself, run on the
partition's own cells, so this module never restates those rules. What a partition
cannot know alone is where its column's text began: numbers before the column's first
text cell take their number texts, later ones their str(). A partition therefore
reports the labels of the numbers it holds before its own first text both ways, and
the in-order merge keeps the right one; in the second pass a partition whose leading
numbers come after an earlier partition's text has those cells replaced by their str().
"""

from __future__ import annotations

import itertools
import math
import uuid

import numpy as np

import brindle
import brindle_books

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(f"brindle_dask needs Dask and pandas: pip install 'brindle[dask]' ({exc})") from exc

__all__ = ["PartitionError", "decode", "encode", "fit", "transform"]

_EMPTY_RUN = (b"", b"")


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


# --- cells as brindle reads them ----------------------------------------------------


def _is_plain_number(dtype):
    # Every cell of such a column converts to float, so it never holds text.
    return isinstance(dtype, np.dtype) and dtype.kind in "iufb"


def _may_lead_with_numbers(dtype):
    """Whether a column of this dtype may hold numbers other than NaN before text: a
    string column holds texts and missing values only, whose labels (the markers) are
    the same before and after a column's first text."""
    return not _is_plain_number(dtype) and not isinstance(dtype, pd.StringDtype)


def _object_column(cells, count=None):
    # fromiter stores each cell as it is; assigning a list would unpack tuple cells.
    return np.fromiter(cells, dtype=object, count=len(cells) if count is None else count)


def _column_cells(part, positions):
    """{position: cells} of the given columns, the cells being those brindle reads
    from the frame's `values`."""
    if not positions:
        return {}
    if part.iloc[:0].values.dtype == object:
        # `values` converts each block to object on its own, so these columns alone
        # give the same cells without boxing every number of the others.
        cells = part.iloc[:, positions].to_numpy(dtype=object)
    else:
        cells = part.values[:, positions]
    return {j: cells[:, k] for k, j in enumerate(positions)}


def _failing_row(cells):
    # brindle reads a text cell with str(); the first cell whose str() raises is
    # almost always the culprit.
    for i, cell in enumerate(cells):
        try:
            str(cell)
        except Exception:  # noqa: BLE001
            return i
    return None


def _locate(part, names, number, exc):
    """The PartitionError for `exc`, raised while reading partition `number`."""
    detail = f"{type(exc).__name__}: {exc}"
    chosen = [j for j, dtype in enumerate(part.dtypes) if not _is_plain_number(dtype)]
    try:
        cells = _column_cells(part, chosen)
    except Exception:  # noqa: BLE001 - the original failure is what matters
        cells = {}
    for j, column in cells.items():
        row = _failing_row(column)
        if row is not None:
            return PartitionError(number, names[j], row, detail)
    return PartitionError(number, None, None, detail)


def _is_ordinary(exc):
    # brindle's internal failure (a failed str() of a cell among them) derives from
    # BaseException; an interrupt, an exit or running out of memory is passed on.
    return not isinstance(exc, (KeyboardInterrupt, SystemExit, MemoryError))


# --- pass 1: what each run of partitions holds ------------------------------------------


def _merge(runs):
    runs = [r for r in runs if r[1]]
    if not runs:
        return _EMPTY_RUN
    return runs[0] if len(runs) == 1 else brindle_books._merge_runs(runs)


class _Span:
    """What consecutive partitions hold, in order.

    Per column (by position): the row of the first text cell within the span or None,
    and three runs: `head` the number texts of the rows before it, `head_str` the
    str() texts of those same rows, `tail` the labels of the rows from it on. Per
    partition: (rows, first text row or None per column, whether the rows before it
    hold a labelled number per column). `failure`: the first failure, as
    (partition within the span, column, row, detail)."""

    __slots__ = ("parts", "rows", "columns", "marks", "probes", "failure")

    def __init__(self, parts, rows, columns, marks, probes, failure=None):
        self.parts, self.rows, self.columns = parts, rows, columns
        self.marks, self.probes, self.failure = marks, probes, failure


def _survey_part(part, names, dtypes):
    """The _Span of one partition; a failure to read it becomes the span's failure,
    placed by the in-order merge."""
    n = len(names)
    try:
        if dtypes is not None:
            part = _cast(part, dtypes)
        rows = len(part)
        if not rows:
            columns = [(None, _EMPTY_RUN, _EMPTY_RUN, _EMPTY_RUN)] * n
            return _Span(1, 0, columns, [(0, (None,) * n, (False,) * n)], [])
        wanted = [_may_lead_with_numbers(t) for t in part.dtypes]
        entries = brindle_books._survey(part, wanted)
        headful = [bool(head[1]) for _, head, _ in entries]
        # The str() texts of the numbers before a column's first text, where they
        # have labels: those are the cells' labels if an earlier partition has text.
        leading = [j for j in range(n) if headful[j] and wanted[j]]
        cells = _column_cells(part, leading)
        columns = []
        for j, (first, head, tail) in enumerate(entries):
            head_str = _EMPTY_RUN
            if j in cells:
                stop = rows if first is None else first
                head_str = brindle_books._str_run(cells[j][:stop])
            columns.append((first, head, head_str, tail))
        marks = (rows, tuple(e[0] for e in entries), tuple(headful))
        return _Span(1, rows, columns, [marks], [_dtype_probe(part)])
    except BaseException as exc:  # noqa: BLE001 - reported with its place
        if not _is_ordinary(exc):
            raise
        err = _locate(part, names, 0, exc)
        return _Span(1, 0, [], [], [], (0, err.column, err.row, err.detail))


def _combine(spans):
    """One _Span of consecutive spans, in order: for each column, the rows before its
    first text keep their number texts, and every later partition's leading numbers
    take their str() texts."""
    spans = list(spans)
    failure, before = None, 0
    for s in spans:
        if s.failure is not None:
            where, column, row, detail = s.failure
            failure = (before + where, column, row, detail)
            break
        before += s.parts
    parts = sum(s.parts for s in spans)
    if failure is not None:
        return _Span(parts, 0, [], [], [], failure)
    n = len(spans[0].columns)
    columns = []
    for j in range(n):
        first, heads, head_strs, tails, offset = None, [], [], [], 0
        for s in spans:
            f, head, head_str, tail = s.columns[j]
            if first is None:
                heads.append(head)
                head_strs.append(head_str)
                if f is not None:
                    first = offset + f
                    tails.append(tail)
            else:
                tails += [head_str, tail]
            offset += s.rows
        columns.append((first, _merge(heads), _merge(head_strs), _merge(tails)))
    return _Span(parts, sum(s.rows for s in spans), columns,
                 list(itertools.chain.from_iterable(s.marks for s in spans)),
                 list(itertools.chain.from_iterable(s.probes for s in spans)))


class _Learned:
    """What the client receives: per column the run of its book (None for a column of
    numbers), the partitions' marks and dtype probes, and any failure."""

    __slots__ = ("runs", "marks", "probes", "failure")

    def __init__(self, runs, marks, probes, failure):
        self.runs, self.marks, self.probes, self.failure = runs, marks, probes, failure


def _aggregate(spans):
    s = _combine(spans)
    if s.failure is not None:
        return _Learned(None, None, None, s.failure)
    runs = [None if first is None else _merge([head, tail]) for first, head, _, tail in s.columns]
    return _Learned(runs, s.marks, s.probes, None)


def _learn(ddf, names, dtypes, split_every=None):
    """Pass 1 as one tree reduction on the workers; raises the first failure."""
    learned = ddf.reduction(
        lambda part: _survey_part(part, names, dtypes),
        aggregate=_aggregate,
        combine=_combine,
        meta=object,
        token="brindle-books",
        split_every=split_every,
    ).compute()
    if learned.failure is not None:
        raise PartitionError(*learned.failure)
    return learned


def _learn_exactly(ddf, names):
    learned = _learn(ddf, names, None)
    dtypes = _common_dtypes(learned.probes)
    if dtypes is not None:
        # The partitions' own cells are not the computed frame's: read them once
        # more, cast as the concatenation casts them (a third pass, for such frames
        # only).
        learned = _learn(ddf, names, dtypes)
    return learned, dtypes


def _fixes(marks, runs):
    """Per partition, (column, rows) of each text column whose leading numbers follow
    an earlier partition's text, and so take their str() texts."""
    seen = [False] * len(runs)
    out = []
    for rows, firsts, headful in marks:
        mine = []
        for j, first in enumerate(firsts):
            if runs[j] is None:
                continue
            if seen[j] and headful[j]:
                mine.append((j, rows if first is None else first))
            if first is not None:
                seen[j] = True
        out.append(tuple(mine))
    return out


# --- pass 2: codes by lookup -------------------------------------------------------------

# Fitted encoders built on this process from shipped runs, by token: the runs travel
# as bytes, and each worker makes the encoder once, not once per partition.
_FITTED = {}


def _fitted_of(source):
    if isinstance(source, brindle_books.FittedEncoder):
        return source
    token, runs = source
    fitted = _FITTED.get(token)
    if fitted is None:
        while len(_FITTED) >= 4:
            _FITTED.pop(next(iter(_FITTED)))
        fitted = _FITTED[token] = brindle_books._fitted_from_runs(runs)
    return fitted


def _with_cell_texts(part, fixes):
    """`part` with the leading `rows` cells of each fixed column replaced by their
    str(), as brindle reads cells after its column's first text."""
    cells = _column_cells(part, [j for j, _ in fixes])
    part = part.copy(deep=False)
    for j, rows in fixes:
        fixed = _object_column(cells[j])
        for i in range(rows):
            fixed[i] = str(fixed[i])
        part.isetitem(j, pd.Series(fixed, index=part.index, dtype=object, copy=False))
    return part


def _code_part(part, names, source, fixes, dtypes, options, partition_info=None):
    number = partition_info["number"] if partition_info else None
    if dtypes is not None:
        part = _cast(part, dtypes)
    if not len(part):
        return pd.DataFrame(np.empty((0, len(names))), index=part.index, columns=names)
    mine = fixes[number] if fixes is not None else ()
    fitted = _fitted_of(source)
    try:
        ready = _with_cell_texts(part, mine) if mine else part
        codes = fitted.transform(ready, **options)
    except BaseException as exc:  # noqa: BLE001 - reported with its place
        if not _is_ordinary(exc) or isinstance(exc, brindle_books.UnknownLabelError):
            raise
        raise _locate(part, names, number, exc) from exc
    codes.index = part.index
    return codes


def _same(x):
    return x


def _shipped(source):
    """`source` for the tasks of a graph: with a distributed client, sent to every
    worker once, beside the graph instead of inside it."""
    try:
        from distributed import default_client

        client = default_client()
    except (ImportError, ValueError):
        return dask.delayed(source, traverse=False)
    return dask.delayed(_same)(client.scatter(source, broadcast=True, hash=False))


def _float_meta(ddf, names):
    return pd.DataFrame({name: pd.Series(dtype=np.float64) for name in names},
                        index=ddf._meta.index, columns=names)


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


def _common_dtypes(probes):
    """None when the non-empty partitions (one probe each) agree on their dtypes
    (then the computed frame has the same, and each partition's own cells are the
    frame's); otherwise the dtypes of their concatenation, which each partition is
    cast to."""
    if not probes or all(list(p.dtypes) == list(probes[0].dtypes) for p in probes[1:]):
        return None
    return list(pd.concat(probes, ignore_index=True).dtypes)


# --- public ------------------------------------------------------------------------------


def _names(ddf):
    # brindle's own reading of the column labels: texts as they are, integers as
    # decimal text, anything else refused with brindle's error.
    return list(brindle.Encoder().encode(pd.DataFrame(columns=ddf.columns)).columns)


def _checked_names(ddf, caller):
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"{caller}() takes a dask DataFrame, not {type(ddf).__name__}")
    names = _names(ddf)
    if len(set(names)) != len(names):
        raise ValueError(f"{caller}() needs distinct column names")
    return names


_BOOK_FORMS = ("lists", "fitted")


def encode(ddf, *, books="lists"):
    """Codes a Dask DataFrame as one ``brindle.Encoder().encode`` of the whole frame
    would.

    Returns ``(codes, books)``: ``codes`` a lazy Dask DataFrame of float64 with the
    partitions, index and divisions of ``ddf`` and brindle's column names. With
    ``books="lists"`` (the default), ``books`` is a dict from the name of each text
    column, in column order, to its labels in code order, as Python lists of str.
    With ``books="fitted"`` it is instead the ``brindle_books.FittedEncoder`` that
    fitting on ``ddf.compute()`` gives (what ``fit`` returns): the same books by
    column position, kept as UTF-8 bytes rather than a str object per label, so the
    client holds a fraction of the lists' memory for columns of millions of labels.
    ``decode`` and ``transform`` take it, and its ``categories()`` gives the lists
    when they are wanted after all. Reads ``ddf`` once now (to find the text columns
    and their labels) and once more whenever ``codes`` is computed.
    """
    if books not in _BOOK_FORMS:
        raise ValueError(f"encode(): books is one of {_BOOK_FORMS!r}, not {books!r}")
    names = _checked_names(ddf, "encode")
    learned, dtypes = _learn_exactly(ddf, names)
    return _encode_learned(ddf, names, learned, dtypes, books)


def _encode_learned(ddf, names, learned, dtypes, books="lists"):
    if books == "fitted":
        out = brindle_books._fitted_from_runs(learned.runs)
    else:
        out = {names[j]: brindle_books._run_labels(run) for j, run in enumerate(learned.runs)
               if run is not None}
    # The workers get the runs either way: an encoder pickles as lists of str.
    codes = ddf.map_partitions(
        _code_part,
        names,
        _shipped((uuid.uuid4().hex, learned.runs)),
        dask.delayed(_fixes(learned.marks, learned.runs)),
        dtypes,
        {},
        meta=_float_meta(ddf, names),
        partition_info=True,
        enforce_metadata=False,
    )
    return codes, out


def fit(ddf):
    """The ``brindle_books.FittedEncoder`` that ``FittedEncoder().fit(ddf.compute())``
    gives, learned on the workers: the client holds only the books."""
    names = _checked_names(ddf, "fit")
    learned, _ = _learn_exactly(ddf, names)
    return brindle_books._fitted_from_runs(learned.runs)


# The rows a partition's first read in transform takes; it grows eightfold while a
# column that the encoder codes as text has not met its first text.
_FIRST_ROWS = 2048


def _marks_part(part, names, texts):
    """The marks of one partition as its survey gives them, (rows, first text row or
    None per column, whether the rows before it hold a labelled number per column),
    or its failure as (partition, column, row, detail). Only where text begins
    matters here, not the labels: the partition is read without coding, and only
    as far as each column in `texts` needs to show its first text."""
    n = len(names)
    try:
        rows = len(part)
        if not rows:
            return (0, (None,) * n, (False,) * n)
        wanted = [_may_lead_with_numbers(t) for t in part.dtypes]
        stop = min(rows, _FIRST_ROWS)
        while True:
            entries = brindle_books._first_texts(part if stop == rows else part.iloc[:stop], wanted)
            if stop == rows or all(entries[j][0] is not None for j in texts):
                break
            stop = min(rows, stop * 8)
        return (rows, tuple(e[0] for e in entries), tuple(e[1] for e in entries))
    except BaseException as exc:  # noqa: BLE001 - reported with its place
        if not _is_ordinary(exc):
            raise
        err = _locate(part, names, 0, exc)
        return (0, err.column, err.row, err.detail)


def _fixes_after(marks, runs):
    for number, m in enumerate(marks):
        if len(m) == 4:  # a failure: (partition, column, row, detail)
            raise PartitionError(number, *m[1:])
    return _fixes(marks, runs)


def _code_one(part, names, fitted, fixes, number, dtypes, options):
    return _code_part(part, names, fitted, fixes, dtypes, options, {"number": number})


def transform(ddf, fitted, *, unknown="error", missing=math.nan):
    """Codes a Dask DataFrame with a fitted encoder's books, lazily and partition by
    partition: the codes of ``fitted.transform(ddf.compute(), ...)``.

    Where a column that ``fitted`` codes may hold numbers before text (object
    columns), the partitions are first read, without coding and only as far as
    needed, to find where each column's text begins, as one transform of the whole
    frame would.
    """
    if not isinstance(fitted, brindle_books.FittedEncoder):
        raise TypeError(f"transform() takes a brindle_books.FittedEncoder, not {type(fitted).__name__}")
    names = _checked_names(ddf, "transform")
    options = {"unknown": unknown, "missing": missing}
    meta = _float_meta(ddf, names)
    texts = set(fitted.text_columns)
    if not any(j in texts and _may_lead_with_numbers(t) for j, t in enumerate(ddf.dtypes)):
        return ddf.map_partitions(_code_part, names, fitted, None, None, options, meta=meta,
                                  partition_info=True, enforce_metadata=False)
    runs = [_EMPTY_RUN if j in texts else None for j in range(len(names))]
    parts = ddf.to_delayed()
    fitted_d = dask.delayed(fitted)
    marks = [dask.delayed(_marks_part)(p, names, sorted(texts)) for p in parts]
    fixes = dask.delayed(_fixes_after)(marks, runs)
    coded = [dask.delayed(_code_one)(p, names, fitted_d, fixes, i, None, options)
             for i, p in enumerate(parts)]
    return dd.from_delayed(coded, meta=meta, divisions=ddf.divisions, verify_meta=False)


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


def _inverse_part(codes, names, fitted):
    out = fitted.inverse_transform(codes)
    out.columns = names
    out.index = codes.index
    return out


def decode(codes, books):
    """Puts the labels of ``books`` back into ``codes``, as ``Encoder.decode`` of the
    whole frame does after the ``encode`` that gave the books.

    ``codes`` is a Dask DataFrame (usually the codes from ``encode``); ``books`` the
    dict of ``encode`` or a ``brindle_books.FittedEncoder`` (from ``encode(...,
    books="fitted")`` or ``fit``). A column with a book (by name in the dict, by
    position in the encoder) becomes an object column of str labels or None, every
    other column float64. Lazy; a ``codes`` frame with columns that are not plain
    numbers is first coded itself, as ``Encoder.decode`` does. An encoder goes to
    the workers once, as its pickle, which holds its labels as str while it is made.
    """
    if not isinstance(codes, dd.DataFrame):
        raise TypeError(f"decode() takes a dask DataFrame, not {type(codes).__name__}")
    if not all(_is_plain_number(t) for t in codes.dtypes):
        codes, _ = encode(codes)
    names = _names(codes)
    if isinstance(books, brindle_books.FittedEncoder):
        return _decode_fitted(codes, names, books)
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


def _decode_fitted(codes, names, fitted):
    if fitted.n_columns is None:
        raise ValueError("decode(): the FittedEncoder has no books; fit it first")
    texts = set(fitted.text_columns)
    if texts and max(texts) >= len(names):
        raise ValueError(f"decode(): the books code column {max(texts)}, but codes has "
                         f"{len(names)} columns")
    meta = pd.DataFrame(
        {name: pd.Series(dtype=object if j in texts else np.float64) for j, name in enumerate(names)},
        index=codes._meta.index,
        columns=names,
    )
    return codes.map_partitions(
        _inverse_part, names, _shipped(fitted), meta=meta, enforce_metadata=False
    )
