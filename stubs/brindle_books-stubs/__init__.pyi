"""A fitted label encoder: code books learned once by `fit`, later inputs coded by
lookup in them. The rules of reading are those of `brindle.Encoder`."""

from collections.abc import Sequence
from typing import Any, Literal, Self, final, overload

import numpy as np
import numpy.typing as npt
from pandas import DataFrame

__all__ = ["FittedEncoder", "InternalError", "UnknownLabelError"]

class InternalError(Exception):
    """A fault of brindle itself; please report it."""

class UnknownLabelError(ValueError):
    """Raised by `FittedEncoder.transform` for a label the fit did not see.

    Its attributes name the first such cell: `column` and `row` (positions) and
    `label` (the cell's text).
    """

    column: int
    row: int
    label: str

@final
class FittedEncoder:
    """Code books learned by `fit` (or given to `from_categories`), kept until the next
    `fit`. Pickles, copies with `copy.deepcopy`, and compares equal to an encoder with
    the same books. Any number of `transform` calls may overlap; `fit` during one
    raises `RuntimeError`.
    """

    def __new__(cls) -> Self:
        """An encoder without books."""

    @classmethod
    def from_categories(cls, categories: Sequence[Sequence[str] | None], /) -> Self:
        """An encoder with given books: one entry per column, None for a column that
        passes through, else its labels in code order (label i gets code i).

        Raises:
            ValueError: a duplicate label, a missing marker ("nan", "NaN", "<NA>") or
                a lone surrogate among the labels.
            TypeError: a label that is not a `str`.
        """

    @overload
    def fit(self, X: npt.NDArray[Any], /) -> Self:
        """Learns each column's kind and each text column's labels; returns self."""

    @overload
    def fit(self, X: DataFrame, /) -> Self: ...

    @overload
    def fit_transform(self, X: npt.NDArray[Any], /) -> npt.NDArray[np.float64]:
        """Fits and returns the codes: those of `brindle.Encoder().encode(X)`."""

    @overload
    def fit_transform(self, X: DataFrame, /) -> DataFrame: ...

    @overload
    def transform(self, X: npt.NDArray[Any], /, *, unknown: Literal["error"] | float = "error", missing: float = ...) -> npt.NDArray[np.float64]:
        """Codes X with the books of the fit, as float64 of the input's kind.

        Columns numeric at fit pass through; text columns are coded by lookup. The
        missing markers become `missing` (NaN by default); a label the books lack
        raises `UnknownLabelError`, or becomes the float `unknown`.

        Raises:
            ValueError: not fitted; another column count; a cell that is not a number
                in a column that was numeric at fit.
        """

    @overload
    def transform(self, X: DataFrame, /, *, unknown: Literal["error"] | float = "error", missing: float = ...) -> DataFrame: ...

    @overload
    def inverse_transform(self, X: npt.NDArray[Any], /) -> npt.NDArray[np.object_] | npt.NDArray[np.float64]:
        """Labels back in the text columns, as `brindle.Encoder.decode` with these books."""

    @overload
    def inverse_transform(self, X: DataFrame, /) -> DataFrame: ...

    def categories(self) -> list[list[str] | None]:
        """Each column's labels in code order; None for a column that passes through."""

    @property
    def n_columns(self) -> int | None:
        """The number of columns of the fit; None while unfitted."""

    @property
    def text_columns(self) -> tuple[int, ...]:
        """The positions of the columns that were text at fit."""

    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]
    def __getstate__(self) -> object: ...
    def __setstate__(self, object: object, /) -> None: ...
