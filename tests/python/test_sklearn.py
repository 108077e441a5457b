"""brindle_sklearn.OrdinalEncoder: scikit-learn's estimator checks and the uses it is for."""

import pickle

import numpy as np
import pandas as pd
import pytest

sklearn = pytest.importorskip("sklearn")

import joblib  # noqa: E402  (installed with scikit-learn)
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.ensemble import HistGradientBoostingClassifier  # noqa: E402
from sklearn.model_selection import GridSearchCV  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.utils import estimator_checks as ec  # noqa: E402

import brindle  # noqa: E402
import brindle_books  # noqa: E402
from brindle_sklearn import OrdinalEncoder  # noqa: E402

NAN = float("nan")


@ec.parametrize_with_checks([OrdinalEncoder()])
def test_sklearn_checks(estimator, check):
    check(estimator)


# These checks fit on frames and transform arrays and back on purpose: scikit-learn's
# warning about the lost names is what they provoke.
@pytest.mark.filterwarnings("ignore:X does not have valid feature names")
@pytest.mark.filterwarnings("ignore:X has feature names")
@pytest.mark.parametrize("check", [
    ec.check_set_output_transform,
    ec.check_set_output_transform_pandas,
    ec.check_set_output_transform_polars,
    ec.check_transformer_get_feature_names_out,
    ec.check_transformer_get_feature_names_out_pandas,
    ec.check_dataframe_column_names_consistency,
])
def test_output_and_name_checks(check):
    pytest.importorskip("polars")
    check("OrdinalEncoder", OrdinalEncoder())


@pytest.fixture
def frame():
    rng = np.random.default_rng(0)
    n = 200
    return pd.DataFrame({
        "city": rng.choice(["Oslo", "Lyon", "Nice", "nan"], n).astype(object),
        "temp": rng.normal(size=n),
        "kind": rng.choice(["a", "b"], n).astype(object),
    })


def test_codes_are_the_encoders(frame):
    enc = OrdinalEncoder()
    codes = enc.fit_transform(frame)
    assert isinstance(codes, np.ndarray) and codes.dtype == np.float64
    np.testing.assert_array_equal(codes, brindle.Encoder().encode(frame).to_numpy())
    np.testing.assert_array_equal(enc.transform(frame), codes)
    assert [None if c is None else list(c) for c in enc.categories_] == [["Lyon", "Nice", "Oslo"], None, ["a", "b"]]
    assert list(enc.get_feature_names_out()) == ["city", "temp", "kind"]
    back = enc.inverse_transform(codes)
    assert back[0, 0] == frame.city[0] or (frame.city[0] == "nan" and back[0, 0] is None)
    # Lists of texts stay texts.
    assert OrdinalEncoder().fit_transform([["b", 1], ["a", 2]]).tolist() == [[1.0, 1.0], [0.0, 2.0]]


def test_unknown_and_missing_policies(frame):
    new = pd.DataFrame({"city": ["Rome", "nan", "Oslo"], "temp": [1.0, 2.0, 3.0], "kind": ["a", "c", "b"]})
    with pytest.raises(brindle_books.UnknownLabelError):
        OrdinalEncoder().fit(frame).transform(new)
    enc = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1, encoded_missing_value=-2).fit(frame)
    np.testing.assert_array_equal(enc.transform(new), [[-1, 1, 0], [-2, 2, -1], [2, 3, 1]])
    back = enc.inverse_transform(enc.transform(new))
    assert back[:, 0].tolist() == [None, None, "Oslo"] and back[:, 2].tolist() == ["a", None, "b"]
    with pytest.raises(TypeError, match="unknown_value"):
        OrdinalEncoder(handle_unknown="use_encoded_value").fit(frame)
    # Given categories: their order is the code order; labels outside them fail the fit.
    given = OrdinalEncoder(categories=[["Oslo", "Nice", "Lyon"], None, ["b", "a"]])
    np.testing.assert_array_equal(given.fit(frame).transform(new.iloc[[2]]), [[0, 3, 0]])
    with pytest.raises(ValueError):
        given.fit(new)


def test_in_pipelines_searches_and_files(frame, tmp_path):
    y = (frame.kind == "a").to_numpy()
    columns = ColumnTransformer([("codes", OrdinalEncoder(), ["city", "kind"])], remainder="passthrough")
    model = make_pipeline(columns, HistGradientBoostingClassifier(categorical_features=[0, 1], max_iter=5))
    model.fit(frame, y)
    search = GridSearchCV(model, {"histgradientboostingclassifier__max_depth": [2, 3]}, cv=2).fit(frame, y)
    joblib.dump(search.best_estimator_, tmp_path / "model.joblib")
    loaded = joblib.load(tmp_path / "model.joblib")
    np.testing.assert_array_equal(loaded.predict(frame), search.best_estimator_.predict(frame))
    enc = pickle.loads(pickle.dumps(OrdinalEncoder().fit(frame)))
    np.testing.assert_array_equal(enc.transform(frame), OrdinalEncoder().fit_transform(frame))
