"""A scikit-learn ordinal encoder on `brindle_books.FittedEncoder`."""

from collections.abc import Sequence
from typing import Any, Literal, Self

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin  # type: ignore[import-untyped]

__all__ = ["OrdinalEncoder"]

class OrdinalEncoder(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):
    """Codes the text columns of a table with the books learned at fit; numeric
    columns pass through. Returns float64 NumPy arrays unless `set_output` asks for
    frames.

    Args:
        categories: "auto", or per column the labels in code order, or None for a
            column that passes through.
        handle_unknown: "error", or "use_encoded_value" to code unknown labels as
            `unknown_value`.
        unknown_value: an int or np.nan, under "use_encoded_value".
        encoded_missing_value: the code of missing values.
    """

    categories: Literal["auto"] | Sequence[Sequence[str] | None]
    handle_unknown: Literal["error", "use_encoded_value"]
    unknown_value: float | None
    encoded_missing_value: float
    categories_: list[npt.NDArray[np.object_] | None]
    n_features_in_: int
    feature_names_in_: npt.NDArray[np.object_]
    def __init__(
        self,
        *,
        categories: Literal["auto"] | Sequence[Sequence[str] | None] = "auto",
        handle_unknown: Literal["error", "use_encoded_value"] = "error",
        unknown_value: float | None = None,
        encoded_missing_value: float = ...,
    ) -> None: ...
    def fit(self, X: Any, y: Any = None) -> Self: ...
    def fit_transform(self, X: Any, y: Any = None) -> Any: ...
    def transform(self, X: Any) -> Any: ...
    def inverse_transform(self, X: Any) -> npt.NDArray[np.object_]: ...
    def __sklearn_tags__(self) -> Any: ...
