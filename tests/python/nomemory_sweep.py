"""Fails one Python allocation of a brindle call, for every position k in turn.

    python nomemory_sweep.py K

For k = 0 .. K-1 and each operation (encode and decode of a mixed frame and
of the same cells as an object array), the call runs with its k-th
allocation failing and must succeed or raise a clean exception; the same call
made again must then return the right result. Prints the outcome counts as
JSON; a crash ends the process with faulthandler's report.

pandas is replaced by a small pure-Python stand-in with the few operations
brindle uses. pandas 3 (and the interpreter's own code under it) does not
survive failed allocations itself: a sweep of plain pandas calls without
brindle crashes too, so with real pandas a crash would say nothing about
brindle.
"""

import collections
import faulthandler
import json
import sys
import types

import _testcapi
import numpy as np


class DataFrame:
    def __init__(self, data, columns=None, index=None, copy=None):
        if isinstance(data, dict):  # columns by position, each kept as given
            self._cols = [np.asarray(data[i]) if isinstance(data[i], np.ndarray) else data[i].array
                          for i in range(len(data))]
            self._rows = len(index)
        else:
            data = np.asarray(data)  # never copied: brindle hands over its own matrix
            self._cols = [data[:, i] for i in range(data.shape[1])]
            self._rows = data.shape[0]
        self.columns = list(columns) if columns is not None else [str(i) for i in range(len(self._cols))]

    @property
    def shape(self):
        return (self._rows, len(self._cols))

    @property
    def values(self):
        out = np.empty(self.shape, dtype=object)
        for i, col in enumerate(self._cols):
            out[:, i] = col
        return out

    def to_numpy(self):
        return self.values


class Series:
    def __init__(self, data, index=None, dtype=None, copy=None):
        self.array = np.array(data, dtype=dtype, copy=copy)


sys.modules["pandas"] = types.SimpleNamespace(DataFrame=DataFrame, Series=Series, RangeIndex=range)

import brindle  # noqa: E402 - after the stand-in


def make_cells():
    cells = np.empty((5, 3), dtype=object)
    cells[:, 0] = ["b", "a", "nan", "c", "\u00e9"]
    cells[:, 1] = [1.0, 2.0, np.nan, 4.0, -0.5]
    cells[:, 2] = ["x", None, "x", 3, "z"]
    return cells


def make_frame():
    frame = DataFrame(np.zeros((5, 3)), columns=["t", "n", "u"])
    frame._cols = list(make_cells().T)
    return frame


def fingerprint(out):
    return repr((out if isinstance(out, np.ndarray) else out.to_numpy()).tolist())


def operations():
    """name -> (make the argument, the call). Only the call runs with the
    failing allocation."""
    enc = brindle.Encoder()
    frame_codes = enc.encode(make_frame())
    array_codes = frame_codes.to_numpy().astype(float)
    return {
        "encode frame": (make_frame, enc.encode),
        "decode frame": (lambda: DataFrame(array_codes, columns=["t", "n", "u"]), enc.decode),
        "encode array": (make_cells, enc.encode),
        "decode array": (lambda: array_codes, enc.decode),
        "decode cells": (make_cells, enc.decode),
    }


def main():
    faulthandler.enable()
    limit = int(sys.argv[1])
    counts = collections.defaultdict(collections.Counter)
    for name, (make, call) in operations().items():
        want = fingerprint(call(make()))
        for k in range(limit):
            argument = make()
            _testcapi.set_nomemory(k, k + 1)
            try:
                call(argument)
                outcome = "ok"
            except BaseException as exc:  # noqa: BLE001 - any clean exception is fine
                outcome = type(exc).__name__
            finally:
                _testcapi.remove_mem_hooks()
            counts[name][outcome] += 1
            got = fingerprint(call(make()))
            if got != want:
                sys.exit(f"{name}: after failing allocation {k} ({outcome}) the next call returned {got}")
    print(json.dumps(counts))


if __name__ == "__main__":
    main()
