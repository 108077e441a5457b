"""Typed usage of brindle, checked by `mypy --strict` (scripts/check-types.sh).

assert_type pins what the stub promises for each input kind; each misuse below must
stay an error, or mypy reports its ignore comment as unused.
"""

from typing import Any, assert_type

import numpy as np
import numpy.typing as npt
import pandas as pd

import brindle


def frame_round_trip(frame: pd.DataFrame) -> pd.DataFrame:
    enc = brindle.Encoder()
    codes = enc.encode(frame)
    assert_type(codes, pd.DataFrame)
    return assert_type(enc.decode(codes), pd.DataFrame)


def array_round_trip(x: npt.NDArray[np.object_], memmapped: np.memmap[Any, np.dtype[np.float64]]) -> None:
    enc = brindle.Encoder("label")
    assert_type(enc.encode(x), npt.NDArray[np.float64])
    assert_type(enc.encode(obj=memmapped), npt.NDArray[np.float64])
    labels = enc.decode(enc.encode(x))
    assert_type(labels, npt.NDArray[np.object_] | npt.NDArray[np.float64])


def encoders() -> list[brindle.Encoder]:
    return [brindle.Encoder(), brindle.Encoder(None), brindle.Encoder(encoding="label")]


def misuse(enc: brindle.Encoder, rows: list[list[str]], series: pd.Series[str]) -> None:
    brindle.Encoder("onehot")  # type: ignore[arg-type]
    enc.encode(rows)  # type: ignore[call-overload]
    enc.decode(series)  # type: ignore[call-overload]
    enc.encode()  # type: ignore[call-overload]
    enc.books  # type: ignore[attr-defined]

    class Sub(brindle.Encoder):  # type: ignore[misc]
        pass
