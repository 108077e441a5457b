"""A scikit-learn ordinal encoder on brindle's fitted code books.

`OrdinalEncoder` keeps one `brindle_books.FittedEncoder` and hands it every input as a
2-D NumPy array or a pandas DataFrame; the coding itself is the native module's.
Columns are numeric or text by brindle's rules: a numeric column passes through as
float64 and has no categories (None in `categories_`).
"""

from numbers import Integral, Real

import numpy as np
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin
from sklearn.utils._param_validation import Hidden, StrOptions
from sklearn.utils.validation import (
    _check_feature_names,
    _check_n_features,
    check_array,
    check_is_fitted,
)

import brindle_books

__all__ = ["OrdinalEncoder"]


def _is_frame(X, module):
    return type(X).__module__.split(".")[0] == module and hasattr(X, "columns")


class OrdinalEncoder(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):
    """Codes the text columns of a table with the books learned at fit.

    Parameters:
        categories: "auto" to learn the labels at fit, or one entry per column:
            the labels of a text column in code order (label i gets code i), or
            None for a column that passes through as numbers.
        handle_unknown: "error" raises `brindle_books.UnknownLabelError` (a
            ValueError) for a label the books lack; "use_encoded_value" codes it
            as `unknown_value`.
        unknown_value: the code of unknown labels under "use_encoded_value": an
            int or np.nan.
        encoded_missing_value: the code of the missing markers ("nan", "NaN",
            "<NA>", a NaN or pd.NA in a text column).
    """

    _parameter_constraints = {
        "categories": [StrOptions({"auto"}), list],
        "handle_unknown": [StrOptions({"error", "use_encoded_value"})],
        "unknown_value": [Integral, Real, None, Hidden(StrOptions({"nan"}))],
        "encoded_missing_value": [Integral, Real],
    }

    def __init__(self, *, categories="auto", handle_unknown="error", unknown_value=None,
                 encoded_missing_value=np.nan):
        self.categories = categories
        self.handle_unknown = handle_unknown
        self.unknown_value = unknown_value
        self.encoded_missing_value = encoded_missing_value

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.input_tags.string = True
        tags.input_tags.categorical = True
        return tags

    # ---- inputs ------------------------------------------------------------------

    def _native_input(self, X, *, reset):
        """X checked against the fit (names, width) and made a 2-D ndarray or a
        pandas DataFrame, the two kinds the native encoder reads."""
        if _is_frame(X, "polars"):
            X = X.to_pandas()
        elif isinstance(X, (list, tuple)):
            # np.asarray would turn [["b", 1]] into texts throughout; objects keep numbers numbers.
            X = np.array(X, dtype=object)
        _check_feature_names(self, X, reset=reset)
        if _is_frame(X, "pandas"):
            if X.ndim != 2 or X.shape[0] < 1:
                raise ValueError(f"Found array with {X.shape[0]} sample(s) (shape={X.shape}) while a minimum of 1 is required.")
        else:
            # dtype=None keeps texts as texts; the native code reads object cells itself.
            X = check_array(X, dtype=None, ensure_all_finite=False, estimator=self)
            if X.dtype.kind in "USV":
                X = X.astype(object)
        _check_n_features(self, X, reset=reset)
        return X

    def _unknown_code(self):
        if self.handle_unknown == "error":
            return "error"
        value = self.unknown_value
        if value is None or isinstance(value, str) or isinstance(value, bool) or not (
                isinstance(value, Integral) or np.isnan(value)):
            raise TypeError(
                "unknown_value should be an integer or np.nan when handle_unknown is "
                f"'use_encoded_value', got {value!r}.")
        return float(value)

    # ---- fit and transform ---------------------------------------------------------

    def _start(self, X):
        self._validate_params()
        if self.handle_unknown == "error" and self.unknown_value is not None:
            raise TypeError("unknown_value should only be set when handle_unknown is 'use_encoded_value', "
                            f"got {self.unknown_value!r}.")
        self._unknown_code()
        return self._native_input(X, reset=True)

    def _learned(self, fitted):
        self._fitted = fitted
        self.categories_ = [None if c is None else np.array(c, dtype=object) for c in fitted.categories()]
        return self

    def fit(self, X, y=None):
        """Learns each text column's labels from X (or takes `categories`)."""
        X = self._start(X)
        if self.categories == "auto":
            return self._learned(brindle_books.FittedEncoder().fit(X))
        if len(self.categories) != X.shape[1]:
            raise ValueError(f"categories has {len(self.categories)} entries, but X has {X.shape[1]} columns.")
        fitted = self._learned(brindle_books.FittedEncoder.from_categories(self.categories))._fitted
        # As scikit-learn does: labels of X missing from the given categories fail the fit.
        fitted.transform(X, unknown=self._unknown_code())
        return self

    def fit_transform(self, X, y=None):
        """Fits and codes X in one pass (equal to fit(X).transform(X))."""
        if self.categories != "auto" or self.handle_unknown != "error" or not np.isnan(self.encoded_missing_value):
            return self.fit(X).transform(X)
        X = self._start(X)
        fitted = brindle_books.FittedEncoder()
        codes = fitted.fit_transform(X)
        self._learned(fitted)
        return np.asarray(codes, dtype=np.float64)

    def transform(self, X):
        """Codes X with the books of the fit: float64, one column per input column."""
        check_is_fitted(self)
        X = self._native_input(X, reset=False)
        codes = self._fitted.transform(X, unknown=self._unknown_code(), missing=float(self.encoded_missing_value))
        return np.asarray(codes, dtype=np.float64)

    def inverse_transform(self, X):
        """Labels back in the text columns (None for missing and unknown codes);
        the other columns as they are."""
        check_is_fitted(self)
        X = np.array(check_array(X, dtype=np.float64, ensure_all_finite=False), dtype=np.float64)
        if X.shape[1] != self.n_features_in_:
            raise ValueError(f"X has {X.shape[1]} features, but {type(self).__name__} is expecting "
                             f"{self.n_features_in_} features as input.")
        # Codes standing for "missing" or "unknown" have no label: NaN for the decoder.
        text = list(self._fitted.text_columns)
        for value in (self.encoded_missing_value, self.unknown_value if self.handle_unknown != "error" else None):
            if value is not None and not np.isnan(value):
                block = X[:, text]
                block[block == value] = np.nan
                X[:, text] = block
        labels = self._fitted.inverse_transform(X)
        labels = np.asarray(labels, dtype=object)
        for j in text:
            column = labels[:, j]
            column[np.isnan(X[:, j])] = None
        return labels
