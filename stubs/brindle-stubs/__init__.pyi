"""Parallel label encoding of text columns in NumPy arrays and pandas DataFrames.

`Encoder` turns the text columns of a 2-D table into float64 codes and back.
The rules that decide what a result holds:

- **Numeric or text column.** A column whose cells all convert to float
  (`float`, `int`, `bool`, NumPy numbers, anything with `__float__` or
  `__index__`) is numeric and passes through as float64. The first cell that
  does not convert turns its whole column into a text column, for good.
- **Texts of a text column.** A cell read after the switch is taken by
  `str(cell)` (rule T: `2.0` becomes `'2.0'`, `None` becomes `'None'`).
  Numbers read before the switch are written in their shortest plain form
  (rule N: `1.0` becomes `'1'`, `1e-7` becomes `'0.0000001'`, NaN becomes
  `'NaN'`). A text cell is never read as a number: `'3'` makes its column text.
- **Markers.** The texts `"nan"`, `"NaN"` and `"<NA>"` mark missing values:
  they get no code and come out as NaN.
- **Byte order.** A column's distinct labels get the codes 0, 1, 2, ... in
  ascending order of their UTF-8 bytes, so `'B' < 'a'`, `'10' < '9'` and
  `'Z' < 'É'`.
- **Books of the last encode.** `encode` keeps the code books of its last call
  and `decode` reads them; results never depend on the number of threads.
"""

from typing import Any, Literal, Self, final, overload

import numpy as np
import numpy.typing as npt
from pandas import DataFrame

__all__ = ["Encoder"]

@final
class Encoder:
    """A label encoder that remembers the code books of its last `encode`.

    Accepted inputs are a 2-D `numpy.ndarray` (a `numpy.memmap` included) and a
    `pandas.DataFrame`; anything else raises `TypeError`. Results are always new
    objects, and the input is never modified. The class cannot be subclassed,
    and its instances take no attributes.

    One `Encoder` may be shared between threads: any number of `decode` calls
    may overlap, while an `encode` excludes every other call on the same
    `Encoder`. A call that cannot be admitted at once raises `RuntimeError`
    instead of waiting.

    Examples:
        >>> import numpy as np
        >>> import brindle
        >>> enc = brindle.Encoder()
        >>> x = np.array([["b", 1.0], ["a", 2.0], ["nan", 3.0]], dtype=object)
        >>> enc.encode(x)
        array([[ 1.,  1.],
               [ 0.,  2.],
               [nan,  3.]])
        >>> enc.decode(enc.encode(x))
        array([['b', 1.0],
               ['a', 2.0],
               ['NaN', 3.0]], dtype=object)

    """

    # __new__, as at run time: the type has no __init__ of its own.
    def __new__(cls, encoding: Literal["label"] | None = None) -> Self:
        """Make an encoder that holds no code books yet.

        Args:
            encoding: The coding strategy. `None` and `"label"` (ordinal codes in
                byte order) are the same and the only ones there are.

        Raises:
            ValueError: `encoding` is a text other than `"label"` (the comparison
                is exact and case-sensitive).
            TypeError: `encoding` is neither `None` nor a `str`.
        """

    @overload
    def encode(self, obj: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
        """Code every text column of `obj` and keep the code books.

        Every cell is read once. Numeric columns pass through as float64; every
        text column gets a code book of its own, its labels numbered 0, 1, 2,
        ... in ascending byte order, and each cell is replaced by its label's
        code. The markers `"nan"`, `"NaN"` and `"<NA>"` become NaN. The books
        of this call replace those of the previous `encode`; a call that fails
        before its result is built leaves the previous books in place.

        A 2-D float64 array is copied through unchanged and leaves the encoder
        without books, so a later `decode` then returns plain float64 data.

        Args:
            obj: A 2-D array of any element type, or a DataFrame. A DataFrame's
                column labels must be texts or integers (integers come back as
                their decimal texts); its index is not kept.

        Returns:
            A new float64 array of the same shape for an array, or a new
            DataFrame with float64 columns, the same column names and the index
            0 ... rows - 1 for a DataFrame.

        Raises:
            TypeError: `obj` is neither an ndarray, a memmap nor a DataFrame (its
                type name is also written to standard output), or a DataFrame's
                column labels are neither texts nor integers.
            RuntimeError: another call is using this encoder right now.

        An input that is not two-dimensional (a 1-D array, say) fails with
        brindle's internal-failure exception (`brindle.InternalError` in a
        traceback, not importable), which derives from `BaseException` and so
        passes through `except Exception`.
        """
    @overload
    def encode(self, obj: DataFrame) -> DataFrame: ...

    @overload
    def decode(self, obj: npt.NDArray[Any]) -> npt.NDArray[np.object_] | npt.NDArray[np.float64]:
        """Put labels back in place of codes, with the books of the last `encode`.

        `obj` is read exactly as `encode` reads it (a float64 array of codes is
        taken as it is), and in each column that was a text column at the last
        `encode` every code is replaced by its label. A code is truncated
        toward zero first (1.7 reads as 1), and negative codes read as 0. NaN
        and codes that the book does not hold give `"NaN"` in an array and
        `None` in a DataFrame. The other columns keep their numbers. The books
        are only read, never changed.

        Args:
            obj: Codes, usually the result of `encode`: a 2-D array or a
                DataFrame with at least as many columns as the encoded input.

        Returns:
            For an array, a new object array with `str` labels in the text
            columns and Python floats elsewhere; a float64 array when the
            encoder holds no books (never encoded, or last encoded a float64
            array). For a DataFrame, a new DataFrame whose text columns have
            object dtype with `str` labels or `None`, the others float64.

        Raises:
            TypeError: `obj` is neither an ndarray, a memmap nor a DataFrame.
            ValueError: `obj` has rows but fewer columns than the encoded input.
            RuntimeError: an `encode` is using this encoder right now.
        """
    @overload
    def decode(self, obj: DataFrame) -> DataFrame: ...
