"""Fuzzes Encoder.encode and Encoder.decode with hostile inputs.

Inputs are plans: plain data (JSON) that build an object array, a pandas
DataFrame on it, or an impostor named "DataFrame" or "ndarray", whose cells
may be objects of generated classes: conversions that raise, return odd
types, replace cells, resize or reshape the array, call an Encoder again,
collect garbage or start threads. Impostors may lie: `shape` against
`values`, `columns` against `shape`.

Every input must leave the process alive, fail only with an exception its
plan allows, leave the input as it was unless a cell changed it, and hold
no reference it did not hold before. Where no cell changes anything, the
outcome is predicted exactly by `expect` (a pure-Python model of the
encoder) and compared.

With --arrow (which needs pyarrow) the plans are pandas DataFrames of Arrow
text columns whose buffers may lie, beside object and float columns: each
is read by its columns and through `values`, and the two must agree.

    python fuzz/entry_fuzz.py [--seconds N] [--skip-known | --arrow]
    python fuzz/entry_fuzz.py --replay PLAN.json

The plan being run is kept in BRINDLE_FUZZ_LAST (default
build/entry-fuzz/last-plan.json), so a crash leaves its input behind;
--replay runs one plan and prints what it did. The last line of a run counts
inputs and their rate. --skip-known leaves out inputs that reach defects
already filed, so that a run can find others.
"""

import argparse
import ctypes
import functools
import gc
import json
import math
import os
import struct
import sys
import threading
import time
import warnings

import numpy as np
import pandas as pd

# The plans' frames are short: without this they would all read `values`, and
# the column road would go unfuzzed.
os.environ.setdefault("BRINDLE_FRAME_COLUMNS_MIN_ROWS", "0")

import brindle  # noqa: E402
import brindle_books  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
# The label rules the property tests already check against the module.
from conftest import INTERNAL  # noqa: E402
from test_frame_columns import ValuesOnly, same_frames, typed_cells  # noqa: E402
from test_properties import MARKERS, number_text, text_of  # noqa: E402
from test_results import to_code  # noqa: E402

from hypothesis import HealthCheck, Phase, given, seed, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402




class Custom(Exception):
    pass


class CustomBase(BaseException):
    pass


EXCEPTIONS = {
    "ValueError": ValueError,
    "TypeError": TypeError,
    "ZeroDivisionError": ZeroDivisionError,
    "RuntimeError": RuntimeError,
    "OverflowError": OverflowError,
    "Custom": Custom,
    "KeyboardInterrupt": KeyboardInterrupt,
    "SystemExit": SystemExit,
    "MemoryError": MemoryError,
    "CustomBase": CustomBase,
}
ORDINARY = ["ValueError", "TypeError", "ZeroDivisionError", "RuntimeError", "OverflowError", "Custom"]
GRAVE = ["KeyboardInterrupt", "SystemExit", "MemoryError", "CustomBase"]


def swallowed_by_float(exc_type):
    """Whether a failed float conversion that raised exc_type turns its column to
    text rather than failing the call."""
    return issubclass(exc_type, Exception) and not issubclass(exc_type, MemoryError)


# ---- plans -------------------------------------------------------------------------
#
# A value is a tagged list: ["f", x] float, ["i", "123"] int, ["s", text], ["n"]
# None, ["b", bool], ["np", dtype, x], ["bytes", hex], ["na"] pandas.NA.

# Generation draws from fixed pools where it can: Hypothesis spends more time
# per draw than a call of the encoder takes, and one draw per choice keeps a
# plan cheap to make and still shrinkable.
TEXTS = list(MARKERS) + ["", "a", "b", "B", "ab", "1.5", "3", "-0", "None", "True", "é", "日本", "\ud800",
                         "a\udcff", "\x00", "x" * 40, "nan ", "\U0001f600"]
FLOATS = [0.0, -0.0, 1.0, -1.0, 2.5, 0.1, 1e21, 1e-7, 2.0**63, 2.0**64, 1.7976931348623157e308, 5e-324,
          math.inf, -math.inf, math.nan, -math.nan, 3.0]
INTS = ["0", "1", "-1", "7", str(2**53 + 1), str(2**63), str(-(2**63) - 1), str(2**64), str(2**1100)]
VALUES = ([["f", x] for x in FLOATS] + [["i", x] for x in INTS] + [["s", x] for x in TEXTS] +
          [["n"], ["b", True], ["b", False], ["bytes", "6162"], ["bytes", ""], ["na"]] +
          [["np", d, x] for d in ("float32", "int8", "uint64", "float64", "bool", "str_", "float16")
           for x in (0, 1, 100)])
texts = st.one_of(st.sampled_from(TEXTS), st.text(st.characters(blacklist_categories=()), max_size=4))
values = st.one_of(st.sampled_from(VALUES), st.builds(lambda x: ["s", x], texts),
                   st.builds(lambda x: ["f", x], st.floats()))


def make_value(v):
    tag = v[0]
    if tag == "f":
        # a fresh object, all bits kept: the plan's own float is held elsewhere
        return struct.unpack("d", struct.pack("d", v[1]))[0]
    if tag == "i":
        return int(v[1])
    if tag == "s":
        return "".join(list(v[1]))  # a fresh str, not an interned one
    if tag == "n":
        return None
    if tag == "b":
        return bool(v[1])
    if tag == "np":
        return np.str_(str(v[2])) if v[1] == "str_" else np.dtype(v[1]).type(v[2])
    if tag == "bytes":
        return bytes.fromhex(v[1])
    if tag == "na":
        return pd.NA
    raise ValueError(v)


# Side effects a conversion runs before its outcome.
@functools.cache
def effect_pool(skip_known, finalizer=False):
    # Known defect: a cell freed while its own conversion runs. Skipping it
    # leaves out every road to that: replacing the cell itself, a nested call
    # on the same cells (whose code replaces the outer call's cell) and a
    # finalizer that replaces a neighbour (the cell being converted).
    targets = ["self", "prev", "next", "all"]
    if skip_known:
        targets = [] if finalizer else ["prev", "next"]
    pool = [["replace", t, v] for t in targets for v in (["s", "new"], ["f", 1.5], ["n"], ["i", "5"])]
    pool += [["reshape", "flat"], ["reshape", "transpose"], ["gc"], ["drop_column"]]
    pool += [["reenter", which, method, what, swallow] for which in ("same", "other")
             for method in ("encode", "decode") for what in (("small",) if skip_known else ("small", "input"))
             for swallow in (True, False)]
    pool += [["thread", action, join] for action in ["gc", "same", "other"] + ([] if skip_known else ["mutate"])
             for join in (True, False)]
    if not skip_known:
        pool += [["resize", r, c] for r in (0, 1, 3) for c in (0, 2)]
    return pool


def outcome_pool(slot, skip_known):
    raises = [["raise", e] for e in (ORDINARY if skip_known and slot != "str" else ORDINARY + GRAVE)]
    if slot == "float":
        rets = [["ret", ["f", x]] for x in FLOATS] + [["ret", ["i", "3"]], ["ret", ["s", "1.5"]], ["ret", ["n"]],
                                                      ["ret_subclass", 2.5]]
    elif slot == "index":
        rets = [["ret", ["i", x]] for x in ("0", "-3", "7", str(2**1100))] + [["ret", ["f", 1.5]], ["ret", ["s", "2"]]]
    else:
        rets = [["ret", x] for x in TEXTS] + [["ret_subclass", "sub"], ["ret_nonstr", ["i", "1"]],
                                              ["ret_nonstr", ["n"]]]
    return rets + raises


@functools.cache
def behaviour(slot, skip_known, quiet):
    effects = st.just([]) if quiet else st.lists(st.sampled_from(effect_pool(skip_known)), max_size=2)
    return st.fixed_dictionaries({"effects": effects, "then": st.sampled_from(outcome_pool(slot, skip_known))})


@st.composite
def hostile_cell(draw, skip_known, quiet):
    base = draw(st.sampled_from(["object", "object", "str", "int", "float"]))
    behaviour_plan = {"base": base, "value": draw(st.integers(0, 9))}
    for slot in ("float", "index", "str"):
        if draw(st.booleans()):
            behaviour_plan[slot] = draw(behaviour(slot, skip_known, quiet))
    # A finalizer runs wherever the cell dies: mid-scan when another cell's
    # code replaces it, or in a collection.
    if not quiet and draw(st.integers(0, 3)) == 0:
        pool = effect_pool(skip_known, finalizer=True)
        behaviour_plan["del"] = {"effects": draw(st.lists(st.sampled_from(pool), min_size=1, max_size=2))}
    return behaviour_plan


@st.composite
def cell_specs(draw, n, skip_known, quiet):
    out = []
    hostile_share = draw(st.sampled_from([0, 2, 5, 10]))  # in tenths
    for _ in range(n):
        earlier = [i for i, c in enumerate(out) if c[0] == "h"]
        if earlier and draw(st.integers(0, 9)) == 0:
            out.append(["same", draw(st.sampled_from(earlier))])  # one object in several cells
        elif hostile_share and draw(st.integers(0, 9)) < hostile_share:
            out.append(["h", draw(hostile_cell(skip_known, quiet))])
        else:
            out.append(["v", draw(values)])
    return out


column_kinds = st.sampled_from(["str", "int", "dup", "tuple", "index", "np_int", "str_object", "float_list",
                                "list_int", "len_huge", "len_raises", "iter_raises", "tolist_raises",
                                "tolist_big"])


@st.composite
def plans(draw, skip_known=False):
    quiet = draw(st.integers(0, 2)) == 0  # no side effects anywhere: outcome predicted exactly
    container = draw(st.sampled_from(["array", "array", "frame", "fake_frame", "fake_array", "subclass",
                                      "unsupported"]))
    rows = draw(st.integers(0, 6))
    cols = draw(st.integers(0, 4))
    plan = {
        "container": container,
        "rows": rows,
        "cols": cols,
        "dtype": "object",
        "cells": draw(cell_specs(rows * cols, skip_known, quiet)),
        "calls": draw(st.lists(st.sampled_from(["encode", "decode"]), min_size=1, max_size=3)),
        "first": draw(st.sampled_from([None, "same", "narrow"])),  # what the Encoder encoded before
    }
    if container == "array":
        plan["layout"] = draw(st.sampled_from(["c", "c", "f", "strided", "reversed", "broadcast"]))
        plan["dtype"] = draw(st.sampled_from(["object"] * 6 + ["int64", "float32", "float64", "bool", "float16"]))
        # Now and then tall enough for the pool to scan it in several blocks:
        # the generated rows sit among plain rows, first or last.
        if rows and plan["dtype"] == "object" and draw(st.integers(0, 39)) == 0:
            plan["tall"] = [TALL, draw(st.sampled_from([0, TALL - rows]))]
    elif container == "subclass":
        # A subclass named "ndarray" whose `shape` may lie about its buffer.
        plan["dtype"] = draw(st.sampled_from(["object", "object", "int64", "float64"]))
        plan["shape"] = [rows + draw(st.sampled_from([0, 0, -1, 1, 2])), cols + draw(st.sampled_from([0, 0, -1, 1]))]
    elif container == "frame":
        plan["copy"] = draw(st.booleans())
        plan["names"] = draw(st.sampled_from(["str", "int", "dup"]))
    elif container in ("fake_frame", "fake_array"):
        lie = draw(st.sampled_from(["none", "none", "rows", "cols", "shape", "values"]))
        shape = [rows, cols]
        if lie in ("rows", "cols"):
            delta = draw(st.sampled_from([-1, 1, 3] if skip_known else [-1, 1, 3, 1000]))
            shape[0 if lie == "rows" else 1] += delta
        elif lie == "shape":
            shape = draw(st.sampled_from([[-1, 2], [1], [1, 2, 3], "pair", [1.0, 2], [2**64, 2], [2**40, 2**40],
                                          None, "raises"]))
        plan["shape"] = shape
        values_kinds = ["object", "int64", "dict", "list", "getitem_raises"]
        if container == "fake_frame":
            values_kinds += ["missing", "raises"]
        plan["values"] = draw(st.sampled_from(values_kinds)) if lie == "values" else "object"
        if skip_known and plan["values"] in ("object", "int64") and isinstance(shape, list) and len(shape) == 2 \
                and (shape[0] > rows or shape[1] > cols):
            plan["values"] = "dict"  # out of bounds only through subscription
        if plan["values"] == "int64":
            plan["cells"] = [["v", ["i", str(draw(st.integers(-9, 9)))]] for _ in range(rows * cols)]
        if container == "fake_frame":
            kinds = column_kinds.filter(lambda k: k != "len_huge") if skip_known else column_kinds
            plan["names"] = draw(kinds)
            plan["names_len"] = cols + draw(st.sampled_from([0, 0, 0, -1, 1]))
    else:
        plan["kind"] = draw(st.sampled_from(["list", "Series", "matrix"]))
    if plan["dtype"] != "object":
        plan["cells"] = [["v", ["i", str(draw(st.integers(-9, 9)))]] for _ in range(rows * cols)]
    return plan


# ---- building ----------------------------------------------------------------------


class Context:
    """What the cells of one input act on. Cells hold it; it holds no cell."""

    def __init__(self):
        self.enc = None
        self.x = None
        self.source = None  # the object cells are read from
        self.frame = None
        self.numpy_dropping = False  # NumPy is inside a resize or a store that drops cells
        self.threads = []
        self.depth = 0
        self.flipped = False  # the source is the grid reversed on both axes


SMALL = np.array([["s", 1.0], ["t", 2.0]], dtype=object)


def run_effect(ctx, effect, pos):
    kind = effect[0]
    src = ctx.source
    if kind == "replace":
        _, target, value = effect
        if not isinstance(src, np.ndarray) or src.ndim != 2 or src.size == 0:
            return
        rows, cols = src.shape
        r, c = (rows - 1 - pos[0], cols - 1 - pos[1]) if ctx.flipped else pos
        was_dropping, ctx.numpy_dropping = ctx.numpy_dropping, True  # stores nest through finalizers
        try:
            if target == "all":
                for i in range(rows):
                    for j in range(cols):
                        src[i, j] = make_value(value)
                return
            # Column-major order, as the scan visits cells.
            k = c * rows + r + {"self": 0, "prev": -1, "next": 1}[target]
            if 0 <= k < rows * cols:
                src[k % rows, k // rows] = make_value(value)
        finally:
            ctx.numpy_dropping = was_dropping
    elif kind == "resize":
        # Not under a pandas frame: what the encoder reads there is a view of
        # the array, and resizing an array without the reference check frees
        # the memory its views still point at, for NumPy's own indexing too.
        # Nor from a finalizer that NumPy itself runs by dropping a cell, in a
        # resize or in a store (`a[i, j] = v`): NumPy releases the old cell
        # before it writes the new one, and a resize in between frees the
        # buffer being written and releases the same cell a second time.
        # NumPy alone crashes so, with no encoder involved.
        if isinstance(src, np.ndarray) and not isinstance(ctx.frame, pd.DataFrame) and not ctx.numpy_dropping:
            ctx.numpy_dropping = True
            try:
                src.resize((effect[1], effect[2]), refcheck=False)
            finally:
                ctx.numpy_dropping = False
    elif kind == "reshape":
        if isinstance(src, np.ndarray):
            src.shape = (src.size,) if effect[1] == "flat" else src.shape[::-1]
    elif kind == "gc":
        gc.collect()
    elif kind == "reenter":
        _, which, method, what, swallow = effect
        enc = ctx.enc if which == "same" else brindle.Encoder()
        arg = ctx.x if what == "input" and ctx.depth == 0 else SMALL
        ctx.depth += 1
        try:
            getattr(enc, method)(arg)
        except BaseException:
            if not swallow:
                raise
        finally:
            ctx.depth -= 1
    elif kind == "thread":
        _, action, join = effect
        t = threading.Thread(target=thread_work, args=(ctx, action, pos), daemon=True)
        ctx.threads.append(t)
        t.start()
        if join:
            t.join()
    elif kind == "drop_column":
        if ctx.frame is not None and isinstance(ctx.frame, pd.DataFrame) and ctx.frame.shape[1]:
            ctx.frame.drop(columns=ctx.frame.columns[0], inplace=True)
        elif isinstance(src, dict) and src:
            del src[next(iter(src))]


def thread_work(ctx, action, pos):
    try:
        if action == "gc":
            gc.collect()
        elif action == "same":
            ctx.enc.encode(SMALL)
        elif action == "other":
            brindle.Encoder().encode(SMALL)
        elif action == "mutate":
            run_effect(ctx, ["replace", "next", ["s", "from thread"]], pos)
    except BaseException:  # noqa: BLE001 - a thread's failure is not the input's outcome
        pass


def make_result(outcome, kind):
    """The value a conversion returns, per its planned outcome."""
    tag, arg = outcome
    if tag == "ret":
        return arg if kind == "str" else make_value(arg)
    if tag == "ret_subclass":
        return type("StrSub", (str,), {})(arg) if kind == "str" else type("FloatSub", (float,), {})(arg)
    if tag == "ret_nonstr":
        return make_value(arg)
    raise AssertionError(outcome)


def conversion(ctx, behaviour_plan, kind):
    def method(self):
        for effect in behaviour_plan["effects"]:
            try:
                run_effect(ctx, effect, self.pos)
            except (KeyboardInterrupt, SystemExit, CustomBase):
                raise
            except BaseException:  # noqa: BLE001 - an effect that fails just did nothing
                if effect[0] == "reenter" and not effect[4]:
                    raise
        tag, arg = behaviour_plan["then"]
        if tag == "raise":
            raise EXCEPTIONS[arg]("planned")
        return make_result(behaviour_plan["then"], kind)

    return method


def finalizer(ctx, effects):
    def __del__(self):
        for effect in effects:
            try:
                run_effect(ctx, effect, self.pos)
            except BaseException:  # noqa: BLE001 - a finalizer's errors would only be printed
                pass

    return __del__


BASES = {"object": object, "str": str, "int": int, "float": float}


def make_hostile(ctx, behaviour_plan, pos):
    ns = {"__slots__": ("pos",), "__repr__": lambda self: f"<hostile {self.pos}>"}
    for slot, dunder in (("float", "__float__"), ("index", "__index__"), ("str", "__str__")):
        if slot in behaviour_plan:
            ns[dunder] = conversion(ctx, behaviour_plan[slot], slot)
    if "del" in behaviour_plan:
        ns["__del__"] = finalizer(ctx, behaviour_plan["del"]["effects"])
    if behaviour_plan["base"] in ("int", "str"):
        ns["__slots__"] = ()  # variable-size bases take no slots
        ns["pos"] = pos
    cls = type("Hostile", (BASES[behaviour_plan["base"]],), ns)
    base = behaviour_plan["base"]
    obj = cls() if base == "object" else cls(str(behaviour_plan["value"]) if base == "str" else behaviour_plan["value"])
    if base not in ("int", "str"):
        obj.pos = pos
    return obj


TALL = 33_000  # rows: two pool blocks at least


def plain_rows(rows, cols):
    """Cells read without Python code: a few shared str per column and floats."""
    grid = np.empty((rows, cols), dtype=object)
    words = [f"w{i}" for i in range(7)]
    for c in range(cols):
        grid[:, c] = [words[r % 7] if c % 2 == 0 else float(r % 5) for r in range(rows)]
    return grid


def build_cells(ctx, plan):
    rows, cols = plan["rows"], plan["cols"]
    offset = 0
    if plan.get("tall"):
        grid = plain_rows(plan["tall"][0], cols)
        offset = plan["tall"][1]
    else:
        grid = np.empty((rows, cols), dtype=object)
    made = []
    for k, behaviour_plan in enumerate(plan["cells"]):
        r, c = offset + k % rows, k // rows  # column-major
        if behaviour_plan[0] == "v":
            obj = make_value(behaviour_plan[1])
        elif behaviour_plan[0] == "h":
            obj = make_hostile(ctx, behaviour_plan[1], (r, c))
        else:
            obj = made[behaviour_plan[1]]
        made.append(obj)
        grid[r, c] = obj
    return grid


class Liar:
    """Column names whose length or iteration misbehaves."""

    def __init__(self, names, mode):
        self.names, self.mode = names, mode

    def __len__(self):
        if self.mode == "len_huge":
            return 2**40
        if self.mode == "len_raises":
            raise ValueError("no length")
        return len(self.names)

    def __getitem__(self, i):
        return self.names[i]

    def __iter__(self):
        if self.mode == "iter_raises":
            raise ValueError("no iteration")
        return iter(self.names)

    def tolist(self):
        if self.mode == "tolist_raises":
            raise Custom("no list")
        if self.mode == "tolist_big":
            return [2**64] * len(self.names)
        return list(range(len(self.names)))


def make_names(kind, n):
    strs = [f"c{i}" for i in range(n)]
    if kind == "str":
        return strs
    if kind == "int":
        return list(range(n))
    if kind == "dup":
        return ["d"] * n
    if kind == "tuple":
        return tuple(strs)
    if kind == "index":
        return pd.Index(strs, dtype=object)
    if kind == "np_int":
        return np.arange(n)
    if kind == "str_object":
        return "ab"
    if kind == "float_list":
        return pd.Index([i + 0.5 for i in range(n)], dtype=float)
    if kind == "list_int":
        return list(range(n))  # not str, and a list has no tolist
    # tolist() matters only once iterating as texts failed
    return Liar(list(range(n)) if kind.startswith("tolist") else strs, kind)


class ShapeRaises:
    def __get__(self, obj, owner=None):
        raise ValueError("no shape")


def make_shape(shape):
    if shape == "pair":
        return [1, 1]
    if shape is None or shape == "raises":
        return shape
    return tuple(shape)


def make_values(kind, grid, plan):
    if kind == "object":
        return grid
    if kind == "int64":
        return grid.astype(np.int64)
    if kind == "dict":
        return {(r, c): grid[r, c] for r in range(grid.shape[0]) for c in range(grid.shape[1])}
    if kind == "list":
        return grid.tolist()
    if kind == "getitem_raises":
        return type("Cells", (), {"__getitem__": lambda self, key: (_ for _ in ()).throw(KeyError(key))})()
    return None


def build(plan):
    """(ctx, x): the input object and the context its cells act on."""
    ctx = Context()
    grid = build_cells(ctx, plan)
    container = plan["container"]
    if container == "array":
        dtype = plan["dtype"]
        src = grid if dtype == "object" else grid.astype(dtype)
        if plan["layout"] == "f":
            src = np.asfortranarray(src)
        elif plan["layout"] == "strided":
            wide = np.empty((src.shape[0], 2 * src.shape[1]), dtype=src.dtype)
            wide[:, ::2] = src
            src = wide[:, ::2]
        elif plan["layout"] == "reversed":
            src = src[::-1, ::-1]
            ctx.flipped = True
        elif plan["layout"] == "broadcast" and src.shape[0]:
            src = np.broadcast_to(src[:1], src.shape)  # every row is row 0, read-only
        ctx.source = ctx.x = src
    elif container == "frame":
        names = make_names(plan["names"], plan["cols"])
        ctx.frame = ctx.x = pd.DataFrame(grid, columns=names, dtype=object, copy=plan["copy"])
        # Without a copy the frame's block is the grid, which cells can write;
        # its `values` are a read-only view.
        ctx.source = ctx.frame.values if plan["copy"] else grid
    elif container in ("fake_frame", "fake_array"):
        values = make_values(plan["values"], grid, plan)
        ns = {}
        shape = make_shape(plan["shape"])
        ns["shape"] = ShapeRaises() if shape == "raises" else shape
        if container == "fake_frame":
            ns["columns"] = make_names(plan["names"], max(plan["names_len"], 0))
            if plan["values"] == "raises":
                ns["values"] = ShapeRaises()
            elif plan["values"] != "missing":
                ns["values"] = values
            ctx.frame = ctx.x = type("DataFrame", (), ns)()
        else:
            ns["__getitem__"] = lambda self, key, v=values: v[key]
            ctx.x = type("ndarray", (), ns)()
        ctx.source = values
    elif container == "subclass":
        claimed = tuple(plan["shape"])
        cls = type("ndarray", (np.ndarray,), {"shape": property(lambda self: claimed)})
        src = grid if plan["dtype"] == "object" else grid.astype(plan["dtype"])
        ctx.source = ctx.x = src.view(cls)
    else:
        kind = plan["kind"]
        ctx.x = grid.tolist() if kind == "list" else type(kind, (), {"shape": grid.shape})()
        ctx.source = None
    return ctx, ctx.x


def first_input(plan):
    """What the Encoder encodes before the plan's calls: nothing, the same cells
    made benign, or fewer columns."""
    if plan["first"] is None:
        return None
    cols = plan["cols"] if plan["first"] == "same" else max(plan["cols"] - 1, 0)
    out = np.empty((plan["rows"], cols), dtype=object)
    for k in range(plan["rows"] * cols):
        behaviour_plan = plan["cells"][k]
        out[k % plan["rows"], k // plan["rows"]] = make_value(behaviour_plan[1]) if behaviour_plan[0] == "v" else f"h{k % 3}"
    return out


SLOTS = ("float", "index", "str", "del")


def has_effects(plan):
    return any(behaviour_plan[0] == "h" and any(behaviour_plan[1].get(s, {}).get("effects") for s in SLOTS) for behaviour_plan in plan["cells"])


def changes_input(plan):
    names = {"replace", "resize", "reshape", "drop_column"}
    for behaviour_plan in plan["cells"]:
        if behaviour_plan[0] != "h":
            continue
        for slot in SLOTS:
            for effect in behaviour_plan[1].get(slot, {}).get("effects", []):
                if effect[0] in names or effect[:2] == ["thread", "mutate"]:
                    return True
    return False


# ---- the model -----------------------------------------------------------------------


KEEP = object()  # Fails.books: the stored books stay as they were


class Fails(Exception):
    """The model's verdict that a call fails with one of `kinds`; `books` are
    what the Encoder holds afterwards."""

    def __init__(self, *kinds, books=KEEP):
        super().__init__(kinds)
        self.kinds = kinds
        self.books = books


# The interpreter's own float conversion, as the encoder calls it: float()
# would also parse texts, and a str subclass may carry a __float__ attribute
# that no conversion slot backs.
as_double = ctypes.pythonapi.PyFloat_AsDouble
as_double.restype = ctypes.c_double
as_double.argtypes = [ctypes.py_object]


def label_of(x):
    try:
        s = str(x)
    except MemoryError:
        raise Fails(MemoryError) from None  # says nothing of the cell: passed on unchanged
    except Exception:
        raise Fails(INTERNAL) from None
    except BaseException as exc:  # noqa: BLE001
        # An interrupt may be reported as the internal failure or passed on.
        raise Fails(INTERNAL, type(exc)) from None
    return text_of(s)


def model_names(columns):
    """Column names of a frame: texts, else tolist() as 64-bit integers."""
    try:
        if isinstance(columns, str) or not hasattr(type(columns), "__getitem__") or isinstance(columns, dict):
            raise TypeError
        names = []
        for item in columns:
            if not isinstance(item, str):
                raise TypeError
            item.encode("utf-8")
            names.append(item)
        return names
    except BaseException:  # noqa: BLE001 - the first attempt's error is discarded
        pass
    try:
        listed = columns.tolist()
    except BaseException as exc:  # noqa: BLE001
        raise Fails(type(exc)) from None
    if isinstance(listed, str) or not hasattr(type(listed), "__getitem__"):
        raise Fails(TypeError)
    names = []
    for item in listed:
        if isinstance(item, float) or isinstance(item, str):
            raise Fails(TypeError)
        value = int(item)
        if not -(2**63) <= value < 2**63:
            raise Fails(OverflowError)
        names.append(str(value))
    return names


def model_shape(obj):
    try:
        shape = obj.shape
    except BaseException:  # noqa: BLE001
        raise Fails(INTERNAL) from None
    if not isinstance(shape, tuple) or len(shape) != 2 or not all(isinstance(v, int) for v in shape):
        raise Fails(INTERNAL)
    if any(v < 0 or v >= 2**64 for v in shape):
        raise Fails(INTERNAL)
    rows, cols = shape
    if cols and rows * cols * 8 > os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"):
        raise Fails(MemoryError)
    return rows, cols


def model_scan(obj, frame):
    """(rows, cols, per column: list of floats, or list of labels)."""
    rows, cols = model_shape(obj)
    if frame:
        try:
            src = obj.values
        except BaseException:  # noqa: BLE001
            raise Fails(INTERNAL) from None
    else:
        src = obj
    columns = []
    for c in range(cols):
        numbers, labels = [], None
        for r in range(rows):
            try:
                item = src[r, c]
            except BaseException:  # noqa: BLE001
                raise Fails(INTERNAL) from None
            if labels is None:
                try:
                    numbers.append(as_double(item))
                    continue
                except BaseException as exc:  # noqa: BLE001
                    if not swallowed_by_float(type(exc)):
                        raise Fails(type(exc)) from None
                labels = [number_text(v) for v in numbers]
            labels.append(label_of(item))
        columns.append(numbers if labels is None else labels)
    return rows, cols, columns


def code_books(columns):
    """Per text column index: label -> code."""
    books = {}
    for c, col in enumerate(columns):
        if col and isinstance(col[0], str):
            order = sorted({s for s in col if s not in MARKERS}, key=lambda s: s.encode())
            books[c] = {s: i for i, s in enumerate(order)}
    return books


def model_matrix(rows, cols, columns):
    m = np.zeros((rows, cols))
    books = code_books(columns)
    for c, col in enumerate(columns):
        book = books.get(c)
        for r, v in enumerate(col):
            m[r, c] = v if book is None else book.get(v, math.nan)
    return m, books


def model_call(method, x, stored):
    """(result, books to store): what `method` returns for x with `stored` books
    (None: none), or Fails."""
    kind = type(x).__name__
    if kind not in ("DataFrame", "ndarray", "memmap"):
        raise Fails(TypeError)
    frame = kind == "DataFrame"
    names = model_names(x.columns) if frame else None
    if isinstance(x, np.ndarray) and x.ndim == 2 and x.dtype == np.float64:
        matrix, books = np.array(x, dtype=np.float64), None
    else:
        rows, cols, columns = model_scan(x, frame)
        matrix, books = model_matrix(rows, cols, columns)
    new_books = books if method == "encode" else stored
    use = None if method == "encode" else stored
    rows, cols = matrix.shape
    if frame:
        if len(names) != cols:
            # pandas refuses names that do not match the matrix
            raise Fails(ValueError, books=new_books)
        if use and max(use) >= cols:
            raise Fails(ValueError, books=new_books)
        out = [[matrix[r, c] for c in range(cols)] for r in range(rows)]
        for c, book in (use or {}).items():
            reverse = {v: k for k, v in book.items()}
            for r in range(rows):
                v = matrix[r, c]
                out[r][c] = None if v != v else reverse.get(to_code(v))
        return ("frame", names, out, set(use or ())), new_books
    if use is None:
        return ("array", matrix), new_books
    if rows and use and max(use) >= cols:
        raise Fails(ValueError, books=new_books)
    out = [[matrix[r, c] for c in range(cols)] for r in range(rows)]
    for c, book in use.items():
        reverse = {v: k for k, v in book.items()}
        for r in range(rows):
            v = matrix[r, c]
            out[r][c] = "NaN" if v != v else reverse.get(to_code(v), "NaN")
    return ("objects", out, cols), new_books


def same_value(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (a != a and b != b)
    return type(a) is type(b) and a == b


def compare(got, want):
    kind = want[0]
    if kind == "array":
        assert isinstance(got, np.ndarray) and got.dtype == np.float64, type(got)
        assert got.shape == want[1].shape, (got.shape, want[1].shape)
        assert np.array_equal(got, want[1], equal_nan=True), (got, want[1])
    elif kind == "objects":
        assert isinstance(got, np.ndarray) and got.dtype == object, type(got)
        assert got.shape == (len(want[1]), want[2]), got.shape
        for r, row in enumerate(want[1]):
            for c, v in enumerate(row):
                assert same_value(got[r, c], v), (r, c, got[r, c], v)
    else:
        _, names, cells, text = want
        assert type(got) is pd.DataFrame, type(got)
        assert list(got.columns) == names, (list(got.columns), names)
        assert got.shape == (len(cells), len(names)), got.shape
        for c in range(len(names)):
            assert got.iloc[:, c].dtype == (object if c in text else np.float64), (c, got.dtypes)
        for r, row in enumerate(cells):
            for c, v in enumerate(row):
                g = got.iat[r, c]
                assert same_value(float(g) if isinstance(g, np.floating) else g, v), (r, c, g, v)


# ---- Arrow layouts -------------------------------------------------------------------
#
# pyarrow's Array.from_buffers checks a string array's first and last offset
# and its buffers' sizes, never the offsets between them nor the bytes, and
# pandas wraps such an array as it is (an ArrowStringArray, an
# ArrowExtensionArray, the categories of a categorical): a user can hold a
# column whose buffers lie. Arrow plans build such frames and read each one
# twice, by its columns and through `values` (ValuesOnly), with a fresh
# Encoder each: the two must give the same results, decoded books included,
# or fail with the same class. The lies stay inside memory that pyarrow's own
# conversion survives, since `values` reads the cells that way: offsets land
# in padding around the data, never in another view's buffer. The padding is
# not UTF-8, so that a cell reaching into it fails that conversion, as such a
# cell's bytes past its buffer would be anything: `values` has no result for
# it to be compared with.

try:
    import pyarrow as pa
except ImportError:
    pa = None

ARROW_TEXTS = ["a", "b", "B", "", "é", "日本", "nan", "NaN", "<NA>", "None", "1.5", "-0", "long text past twelve",
               "\U0001f600"]
# Bytes no UTF-8 decoder takes: stray and swapped bytes, an overlong '/', a
# lone continuation, a CESU-8 surrogate, past U+10FFFF, cut short.
BAD_UTF8 = ["61fffe62", "c0af", "80", "eda080", "eda080edb080", "f4908080", "e282", "ff"]
PAD = 64  # bytes of b"\xff" on both sides of every data buffer
ARROW_TALL = 16_500  # rows: past the point where a column's texts stop sharing entries
# Offsets (or views) that lie are told only in columns without missing cells:
# pandas fills or filters those through pyarrow's kernels, which copy the bytes
# between offsets and crash on a negative span, as they would for any caller.
# Nor in categories, which `values` takes through the same kernels.
OFFSET_LIES = ["decreasing", "negative", "past_end", "utf8", "short_bitmap"]
CELL_LIES = ["utf8", "null_count", "null_count_all", "short_bitmap"]
# ArrowStringArray casts views (and string, since pandas 3.1) to large_string;
# only ArrowExtensionArray holds views as they are.
ARROW_TYPES = {"str": ["large_string", "large_string", "string"], "str_na": ["large_string", "string"],
               "ext": ["string", "large_string", "string_view"], "cat": ["large_string", "string"]}


@st.composite
def arrow_chunk(draw, n, offsets_lie):
    text = st.sampled_from(ARROW_TEXTS)
    cells = draw(st.lists(text if offsets_lie else st.one_of(st.none(), text), min_size=n, max_size=n))
    lies = []
    for kind in draw(st.lists(st.sampled_from(OFFSET_LIES if offsets_lie else CELL_LIES), max_size=2)):
        lies.append([kind, draw(st.integers(0, 1 << 16)), draw(st.integers(1, 16)), draw(st.sampled_from(BAD_UTF8))])
    return {"cells": cells, "offset": 0, "lies": lies}


@st.composite
def arrow_column(draw, rows):
    wrap = draw(st.sampled_from(["str", "str", "str_na", "ext", "cat"]))
    col = {"wrap": wrap, "type": draw(st.sampled_from(ARROW_TYPES[wrap]))}
    if wrap == "cat":
        # The categories lie; the codes pick them, -1 for missing.
        count = draw(st.integers(0, 5))
        col["codes"] = draw(st.lists(st.integers(-1, count - 1), min_size=rows, max_size=rows))
        length = count
    else:
        length = rows
    # Chunks that cover the column with some cells to spare, sliced off
    # the whole (a chunked slice) and off single chunks (an array offset).
    head, tail = draw(st.integers(0, 2)), draw(st.integers(0, 2))
    cuts = sorted(draw(st.lists(st.integers(0, length + head + tail), max_size=3)))
    bounds = [0] + cuts + [length + head + tail]
    chunks = []
    offsets_lie = wrap != "cat" and draw(st.integers(0, 2)) == 0
    for a, b in zip(bounds, bounds[1:]):
        offset = draw(st.integers(0, 2))
        chunk = draw(arrow_chunk(b - a + offset, offsets_lie))
        chunk["offset"] = offset
        chunks.append(chunk)
    col["chunks"], col["slice"] = chunks, [head, length]
    if wrap == "cat":
        # Categories are distinct texts (as far as their buffers tell the truth).
        texts = iter(draw(st.permutations(ARROW_TEXTS + [f"k{j}" for j in range(12)])))
        for c in chunks:
            c["cells"] = [next(texts) for _ in c["cells"]]
    return col


@st.composite
def arrow_plans(draw):
    tall = draw(st.integers(0, 39)) == 0
    rows = ARROW_TALL if tall else draw(st.integers(0, 6))
    columns = []
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["arrow", "arrow", "object", "float"]))
        if kind == "arrow" and not tall:
            columns.append(["arrow", draw(arrow_column(rows))])
        elif kind == "float":
            columns.append(["float", draw(st.lists(st.sampled_from(FLOATS), min_size=rows, max_size=rows))
                            if not tall else None])
        elif not tall:
            columns.append(["object", draw(st.lists(values, min_size=rows, max_size=rows))])
        else:
            columns.append(["object", None])
    if tall:
        # Mostly distinct texts, and a null count that says nearly all are missing.
        chunk = {"cells": None, "offset": 0, "lies": [["null_count_all", 0, draw(st.integers(0, 3)), ""]]}
        columns.insert(draw(st.integers(0, len(columns))),
                       ["arrow", {"wrap": draw(st.sampled_from(["str", "str_na"])), "type": "large_string",
                                  "chunks": [chunk], "slice": [0, rows]}])
    return {"container": "arrow", "rows": rows, "columns": columns, "first": draw(st.booleans()),
            "calls": draw(st.lists(st.sampled_from(["encode", "decode"]), min_size=1, max_size=2))}


def bitmap(valid):
    return np.packbits(np.array(valid, dtype=bool), bitorder="little").tobytes()


def padded(data):
    """A buffer of `data` inside PAD bytes of b"\xff" on each side."""
    return pa.py_buffer(b"\xff" * PAD + data + b"\xff" * PAD).slice(PAD, len(data))


def arrow_chunk_array(chunk, type_name):
    """The chunk's array with its lies told, or None when pyarrow refuses them."""
    cells = chunk["cells"] if chunk["cells"] is not None else \
        [f"t{r % 12_000}" for r in range(ARROW_TALL)]
    encoded = [None if t is None else t.encode() for t in cells]
    n = len(cells)
    first = chunk["offset"]  # the array's offset: cells before it are not the array's
    valid = [t is not None for t in cells]
    null_count = valid[first:].count(False)
    validity = bitmap(valid) if null_count else None
    offset_lies = []
    for kind, at, by, bad in chunk["lies"]:
        if kind == "utf8" and n > first:
            j = first + at % (n - first)
            encoded[j], valid[j] = bytes.fromhex(bad), True
            validity = bitmap(valid) if validity is not None else None
            null_count = valid[first:].count(False)
        elif kind in ("null_count", "null_count_all"):
            validity = validity or bitmap(valid)
            truth = valid[first:].count(False)
            null_count = n - first - by + 1 if kind == "null_count_all" else truth + (by if at % 2 else -by)
            null_count = min(max(null_count, 0), n - first)
        elif kind == "short_bitmap":
            validity, null_count = b"", 0  # pyarrow ignores the bitmap of a null count of 0
        else:
            offset_lies.append((kind, at, by))
    data = b"".join(b or b"" for b in encoded)
    buffers = [None if validity is None else pa.py_buffer(validity)]
    if type_name == "string_view":
        views = np.zeros(n, dtype=[("len", "<i4"), ("pre", "S4"), ("buf", "<i4"), ("off", "<i4")])
        at = 0
        for i, b in enumerate(encoded):
            b = b or b""
            views[i] = (len(b), b[:4], 0, at) if len(b) > 12 else (len(b), b"", 0, 0)
            if len(b) <= 12:
                views.view(np.uint8).reshape(n, 16)[i, 4:4 + len(b)] = list(b)
            at += len(b)
        for kind, at, by in offset_lies:
            if n > first:
                i = first + at % (n - first)
                # a negative length, a start before the data, an end past it
                views[i] = {"decreasing": (-by, b"", 0, 0), "negative": (13, b"", 0, -by),
                            "past_end": (13 + by, b"", 0, max(len(data) - 13, 0) + by)}[kind]
        buffers += [pa.py_buffer(views.tobytes()), padded(data)]
    else:
        offsets = np.cumsum([0] + [len(b or b"") for b in encoded])
        for kind, at, by in offset_lies:
            if n - first >= 2:
                # between the array's first offset and its last, which pyarrow checks
                i = first + 1 + at % (n - first - 1)
                offsets[i] = {"decreasing": offsets[i + 1] + by, "negative": -by,
                              "past_end": len(data) + by}[kind]
        buffers += [pa.py_buffer(offsets.astype(np.int32 if type_name == "string" else np.int64).tobytes()),
                    padded(data)]
    try:
        return pa.Array.from_buffers(getattr(pa, type_name)(), n - chunk["offset"], buffers,
                                     null_count=null_count, offset=chunk["offset"])
    except pa.ArrowInvalid:
        return None


class Refused(Exception):
    """pandas or pyarrow would not build the frame of a plan."""


def arrow_series(col, rows):
    arrays = [arrow_chunk_array(c, col["type"]) for c in col["chunks"]]
    if any(a is None for a in arrays):
        raise Refused
    chunked = pa.chunked_array(arrays, type=getattr(pa, col["type"])()).slice(*col["slice"])
    nan_str = pd.StringDtype("pyarrow", na_value=np.nan)
    wrap = col["wrap"]
    try:
        if wrap == "ext":
            return pd.Series(pd.arrays.ArrowExtensionArray(chunked))
        if wrap == "str_na":
            return pd.Series(pd.arrays.ArrowStringArray(chunked))
        if wrap == "str":
            return pd.Series(pd.arrays.ArrowStringArray(chunked, dtype=nan_str))
        categories = pd.Index(pd.arrays.ArrowStringArray(chunked, dtype=nan_str))
        try:
            dtype = pd.CategoricalDtype(categories)
        except (ValueError, TypeError, pa.ArrowException):
            # pandas reads the categories to check them; what it makes when
            # it knows them, as in its own operations, it takes unread.
            dtype = pd.CategoricalDtype._from_fastpath(categories, False)
        return pd.Series(pd.Categorical.from_codes(col["codes"], dtype=dtype))
    except (ValueError, TypeError, AttributeError, pa.ArrowException):
        raise Refused from None


def build_arrow(plan):
    rows = plan["rows"]
    series = {}
    for c, (kind, cells_of) in enumerate(plan["columns"]):
        if kind == "arrow":
            s = arrow_series(cells_of, rows)
        elif kind == "float":
            s = pd.Series(np.array(cells_of if cells_of is not None else np.arange(rows) % 5, dtype=np.float64))
        else:
            cells = [make_value(v) for v in cells_of] if cells_of is not None else [f"w{r % 7}" for r in range(rows)]
            s = pd.Series(cells, dtype=object)
        series[f"c{c}"] = s
    return pd.DataFrame(series)


def arrow_outcomes(x, plan, probe):
    """What an Encoder gives for x: each call's result or exception class, then
    its books, decoded from every code."""
    enc = brindle.Encoder()
    if plan["first"]:
        enc.encode(SMALL)  # books that a failing encode must keep
    out = []
    for method in plan["calls"] + ["books"]:
        try:
            out.append(enc.decode(probe) if method == "books" else getattr(enc, method)(x))
        except BaseException as exc:  # noqa: BLE001 - both roads must fail alike
            out.append(type(exc))
    return out


def same_outcome(a, b):
    if isinstance(a, type) or isinstance(b, type):
        return a is b
    if type(a) is not type(b) or a.shape != b.shape:
        return False
    if isinstance(a, pd.DataFrame):
        try:
            same_frames(a, b)
        except AssertionError:
            return False
        return True
    return [typed_cells(r) for r in a.tolist()] == [typed_cells(r) for r in b.tolist()]


def run_arrow_plan(plan, verbose=False):
    if pa is None:
        raise SystemExit("entry-fuzz: Arrow plans need pyarrow")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            frame = build_arrow(plan)
    except Refused:
        if verbose:
            print("pyarrow or pandas refused the buffers")
        return ["refused"]
    cols = max(frame.shape[1], SMALL.shape[1])
    probe = np.tile(np.arange(frame.shape[0] + 2, dtype=np.float64)[:, None], (1, cols))
    by_columns = arrow_outcomes(frame, plan, probe)
    by_values = arrow_outcomes(ValuesOnly(frame), plan, probe)
    names = [o.__name__ if isinstance(o, type) else "ok" for o in by_columns]
    if verbose:
        print("columns:", names)
        print("values: ", [o.__name__ if isinstance(o, type) else "ok" for o in by_values])
    for step, (a, b) in enumerate(zip(by_columns, by_values)):
        what = (plan["calls"] + ["books"])[step]
        assert same_outcome(a, b), f"{what}: the column road gives {a!r:.300}, `values` gives {b!r:.300}"
    return names


# ---- running -----------------------------------------------------------------------


def allowed_failures(plan):
    """Exception classes a call may raise when the model cannot say which."""
    kinds = {INTERNAL}
    if plan["container"] == "unsupported":
        kinds.add(TypeError)
    if plan["container"] == "fake_frame":
        # the column names' own failures, and pandas refusing names against shape
        kinds |= {TypeError, AttributeError, OverflowError, Custom, ValueError}
    if plan.get("shape") == [2**40, 2**40]:
        kinds.add(MemoryError)
    if "decode" in plan["calls"]:
        kinds.add(ValueError)  # fewer columns than the stored books code
    for behaviour_plan in plan["cells"]:
        if behaviour_plan[0] != "h":
            continue
        for slot in ("float", "index", "str"):
            b = behaviour_plan[1].get(slot)
            if b and b["then"][0] == "raise" and b["then"][1] in GRAVE:
                kinds.add(EXCEPTIONS[b["then"][1]])
    return tuple(kinds)


def snapshot(ctx):
    """What must not change: the input's layout and its very cells."""
    src = ctx.source
    snap = {"x": id(ctx.x)}
    if isinstance(src, np.ndarray):
        snap["array"] = (src.shape, src.strides, src.dtype.str, src.ctypes.data)
        if src.dtype == object:
            snap["cells"] = list(src.ravel(order="K"))
        else:
            snap["bytes"] = src.tobytes()
    if ctx.frame is not None:
        snap["columns"] = id(getattr(ctx.frame, "columns", None))
    return snap


def check_unchanged(before, ctx):
    after = snapshot(ctx)
    assert after.keys() == before.keys()
    for key in before:
        if key == "cells":
            assert len(after[key]) == len(before[key]) and all(a is b for a, b in zip(after[key], before[key])), \
                "cells replaced"
        else:
            assert after[key] == before[key], f"input changed: {key}"


def references(objs):
    return [sys.getrefcount(o) for o in objs]


def fitted_calls(ctx, plan, x, quiet, verbose):
    """The same input through a FittedEncoder: fit_transform, then transform and
    inverse_transform with the books it kept. Where no cell changes anything,
    fit_transform gives what encode gives and transform what fit_transform gave."""
    fitted = brindle_books.FittedEncoder()
    outcomes, coded = [], None
    for method in ("fit_transform", "transform", "inverse_transform"):
        got = None
        try:
            got = fitted.transform(x, unknown=-1.0) if method == "transform" else getattr(fitted, method)(x)
            outcome = "ok"
        except BaseException as exc:  # noqa: BLE001 - the outcome under test
            # The companion module's internal failure is its own class.
            outcome = INTERNAL if type(exc) is brindle_books.InternalError else type(exc)
            message = str(exc)
        for t in ctx.threads:
            t.join()
        ctx.threads.clear()
        outcomes.append(outcome if outcome == "ok" else outcome.__name__)
        if verbose:
            print(method, "->", outcomes[-1] if outcome == "ok" else f"{outcome.__name__}: {message}")
        if outcome != "ok":
            # Unfitted after a failed fit; a column whose cells read otherwise
            # the second time (numbers, then text) is refused by transform.
            allowed = allowed_failures(plan) + (ValueError,) if method != "fit_transform" or not quiet \
                else allowed_failures(plan)
            if quiet and method == "fit_transform":
                try:
                    model_call("encode", x, None)
                except Fails as f:
                    allowed = tuple(f.kinds)
            assert issubclass(outcome, allowed), \
                f"{method}: {outcome.__name__} ({message}) is not a failure this input may cause"
            continue
        assert type(got) in (np.ndarray, pd.DataFrame) and got.ndim == 2, type(got)
        if quiet and method == "fit_transform":
            compare(got, model_call("encode", x, None)[0])
            coded = got
        elif quiet and method == "transform" and coded is not None:
            assert np.array_equal(np.asarray(got, dtype=np.float64), np.asarray(coded, dtype=np.float64),
                                  equal_nan=True), (got, coded)
        del got
    return outcomes


def run_plan(plan, verbose=False):
    """Runs one plan; raises AssertionError on a finding."""
    if plan["container"] == "arrow":
        return run_arrow_plan(plan, verbose)
    ctx, x = build(plan)
    enc = brindle.Encoder()
    ctx.enc = enc
    first = first_input(plan)
    stored = None
    if first is not None:
        enc.encode(first)
        stored = model_call("encode", first, None)[1]
    quiet = not has_effects(plan)
    mutating = changes_input(plan)
    # Holding the cells would keep alive those a cell frees by replacing them.
    before = None if mutating else snapshot(ctx)
    watched = []
    if not mutating:
        seen = set()
        for o in [x, ctx.source, enc, getattr(ctx.frame, "columns", None)] + \
                 (list(ctx.source.ravel(order="K")) if isinstance(ctx.source, np.ndarray) and
                  ctx.source.dtype == object else []):
            if o is not None and id(o) not in seen:
                seen.add(id(o))
                watched.append(o)
    refs = references(watched)
    outcomes = []
    for method in plan["calls"]:
        want = None
        if quiet:
            try:
                want, books = model_call(method, x, stored)
            except Fails as f:
                want, books = f.with_traceback(None), f.books  # its frames hold the input
        got = None
        try:
            got = getattr(enc, method)(x)
            outcome = "ok"
        except BaseException as exc:  # noqa: BLE001 - the outcome under test
            outcome = type(exc)
            message = str(exc)
        for t in ctx.threads:
            t.join()
        ctx.threads.clear()
        outcomes.append(outcome if outcome == "ok" else outcome.__name__)
        if verbose:
            print(method, "->", outcomes[-1] if outcome == "ok" else f"{outcome.__name__}: {message}")
        if quiet:
            if isinstance(want, Fails):
                assert outcome in want.kinds, \
                    f"{method}: expected {' or '.join(k.__name__ for k in want.kinds)}, got {outcomes[-1]}" + \
                    ("" if outcome == "ok" else f" ({message})")
            else:
                assert outcome == "ok", f"{method}: expected a result, got {outcome.__name__}: {message}"
                compare(got, want)
            if method == "encode" and books is not KEEP:
                stored = books
        else:
            if outcome != "ok":
                assert issubclass(outcome, allowed_failures(plan)), \
                    f"{method}: {outcome.__name__} ({message}) is not a failure this input may cause"
            else:
                assert type(got) in (np.ndarray, pd.DataFrame), type(got)
                assert got.ndim == 2
            # A call whose cells ran arbitrary code leaves the stored books unknown.
            stored = "unknown"
        del got, want
    outcomes += fitted_calls(ctx, plan, x, quiet, verbose)
    if not mutating:
        check_unchanged(before, ctx)
        after = references(watched)
        if after != refs:
            gc.collect()  # cycles through tracebacks the calls left
            after = references(watched)
        grown = [(type(o).__name__, b, a) for o, b, a in zip(watched, refs, after) if a != b]
        assert not grown, f"references changed (type, before, after): {grown}"
    # The Encoder was given back and still works.
    probe = brindle.Encoder().encode(SMALL)
    assert np.array_equal(enc.encode(SMALL), probe)
    assert enc.decode(SMALL).shape == (2, 2)
    return outcomes


class Recorder:
    """Keeps the plan being run in a file, so that a crash leaves it behind."""

    def __init__(self, path):
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)

    def write(self, plan):
        data = json.dumps(plan).encode()
        os.pwrite(self.fd, data, 0)
        os.ftruncate(self.fd, len(data))


def fuzz(seconds, skip_known, last_path, batch=25, first_seed=None, max_inputs=None, arrow=False):
    """With `first_seed`, batch i draws from seed first_seed + i, so that a run
    meets the same inputs in the same order every time (as far as its time
    lets it get); without, every run draws afresh."""
    recorder = Recorder(last_path)
    count = [0]
    failed = [None]

    def one(plan):
        count[0] += 1
        recorder.write(dict(input=count[0], **plan))  # which input of the run, for the report
        try:
            run_plan(plan)
        except BaseException as exc:
            failed[0] = plan
            print(f"entry-fuzz: input {count[0]} failed: {type(exc).__name__}: {exc}", file=sys.stderr)
            raise
        finally:
            if count[0] % 256 == 0:
                gc.collect()

    def batch_test(index):
        test = given(arrow_plans() if arrow else plans(skip_known=skip_known))(one)
        test = settings(max_examples=batch, deadline=None, database=None, derandomize=False,
                        phases=[Phase.generate, Phase.shrink], suppress_health_check=list(HealthCheck))(test)
        return test if first_seed is None else seed(first_seed + index)(test)

    # Hypothesis runs a batch to its end: small batches keep to the time given.
    start = time.monotonic()
    ok = True
    index = 0
    while time.monotonic() - start < seconds and (max_inputs is None or count[0] < max_inputs):
        try:
            batch_test(index)()
            index += 1
        except BaseException as exc:  # noqa: BLE001 - a finding
            ok = False
            print(f"entry-fuzz: FINDING: {type(exc).__name__}: {exc}", file=sys.stderr)
            print("entry-fuzz: minimal plan (run it with --replay):", file=sys.stderr)
            print(json.dumps(failed[0]), file=sys.stderr)
            break
    took = time.monotonic() - start
    gc.collect()
    print(f"entry-fuzz: {count[0]} inputs in {took:.0f}s, {count[0] / took:.0f} per second, "
          f"{'0 findings' if ok else '1 finding'}")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=float(os.environ.get("BRINDLE_FUZZ_SECONDS", 60)))
    parser.add_argument("--skip-known", action="store_true")
    parser.add_argument("--seed", type=int, default=None if os.environ.get("BRINDLE_FUZZ_SEED") is None
                        else int(os.environ["BRINDLE_FUZZ_SEED"]),
                        help="first seed of a reproducible run (BRINDLE_FUZZ_SEED); fresh draws without")
    parser.add_argument("--max-inputs", type=int, default=None if os.environ.get("BRINDLE_FUZZ_INPUTS") is None
                        else int(os.environ["BRINDLE_FUZZ_INPUTS"]),
                        help="stop after about this many inputs too (BRINDLE_FUZZ_INPUTS)")
    parser.add_argument("--arrow", action="store_true",
                        help="only Arrow plans: frames whose Arrow buffers lie, read by columns and by `values`")
    parser.add_argument("--replay")
    parser.add_argument("--last", default=os.environ.get("BRINDLE_FUZZ_LAST", "build/entry-fuzz/last-plan.json"))
    args = parser.parse_args()
    # A float subclass from __float__ warns; the model takes its value, as the
    # interpreter does when the warning is not an error.
    warnings.simplefilter("ignore")
    # Threads that cells start take turns often, so they meet the calls more
    # often, and a join waits less.
    sys.setswitchinterval(1e-4)
    # The module writes unsupported type names to the C-level standard output;
    # keep them out of the report.
    report = os.fdopen(os.dup(1), "w", buffering=1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    sys.stdout = report
    if args.replay:
        with open(args.replay) as f:
            plan = json.load(f)
        print(json.dumps(plan))
        print("outcomes:", run_plan(plan, verbose=True))
        return 0
    return 0 if fuzz(args.seconds, args.skip_known, args.last, first_seed=args.seed,
                     max_inputs=args.max_inputs, arrow=args.arrow) else 1


if __name__ == "__main__":
    sys.exit(main())
