"""What a new user may get wrong, for every estimator: calls before fit, columns
that are not numbers, numbers that are not category codes, settings that cannot
give a real model, targets quor does not model, exports given a forest."""

import datetime
import decimal
import re

import numpy as np
import pandas as pd
import pytest
from sklearn.exceptions import NotFittedError
from sklearn.tree import DecisionTreeClassifier

import quor
from quor import (InvalidParameterError, QUORClassifier, QUORForestClassifier,
                  QUORForestRegressor, QUORRegressor, _params)

CLASSIFIERS, FORESTS = [QUORClassifier, QUORForestClassifier], [QUORForestRegressor,
                                                                 QUORForestClassifier]
ESTIMATORS = [QUORRegressor, QUORClassifier] + FORESTS
NAN = float("nan")


def make(Est, **settings):
    return Est(n_estimators=3, random_state=0, **settings) if Est in FORESTS else Est(**settings)


def data(Est, n=60):
    """A frame of a signal, a code column and noise, and a target for Est."""
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"signal": rng.normal(size=n), "code": rng.integers(0, 4, n) * 1.0,
                          "t": rng.normal(size=n)})
    y = (frame["signal"] + (frame["code"] == 2)).to_numpy()
    return frame, np.where(y > 0.5, "high", "low") if Est in CLASSIFIERS else y


def same_model(a, b):
    trees = (lambda e: [e]) if hasattr(a, "export_tree") else (lambda e: e.estimators_)
    assert [repr(t.export_tree()) for t in trees(a)] == [repr(t.export_tree()) for t in trees(b)]


UNFITTED = [(E, m) for E in ESTIMATORS for m in ("apply", "predict", "score", "n_features_in_",
                                                 "feature_importances_")] + \
    [(E, m) for E in (QUORRegressor, QUORClassifier) for m in (
        "decision_path", "get_depth", "get_n_leaves", "export_tree", "tree_", "n_outputs_")] + \
    [(E, m) for E in FORESTS for m in ("estimators_", "n_estimators_")] + \
    [(E, m) for E in CLASSIFIERS for m in ("predict_proba", "predict_log_proba", "classes_")] + \
    [(QUORRegressor, render) for render in ("export_text", "export_graphviz", "plot_tree")]


@pytest.mark.parametrize("Est, member", UNFITTED, ids=[f"{E.__name__}.{m}" for E, m in UNFITTED])
def test_every_member_of_an_unfitted_estimator_raises_not_fitted(Est, member):
    est, X = make(Est), np.zeros((2, 3))
    args = {"score": (X, [0, 1]), "get_depth": (), "get_n_leaves": (), "export_tree": ()}
    with pytest.raises(NotFittedError):
        if hasattr(quor, member):
            getattr(quor, member)(est)
        elif callable(getattr(type(est), member, None)):
            getattr(est, member)(*args.get(member, (X,)))
        else:
            getattr(est, member)
    assert not hasattr(est, "feature_importances_")  # still an AttributeError for hasattr


NOT_NUMBERS = {
    "datetime": pd.date_range("2020-01-01", periods=60),
    "datetime-tz": pd.date_range("2020-01-01", periods=60, tz="UTC"),
    "timedelta": pd.to_timedelta(np.arange(60), unit="D"),
    "complex": np.arange(60) + 1j,
    "period": pd.period_range("2020-01", periods=60, freq="M"),
    "interval": pd.arrays.IntervalArray.from_breaks(np.arange(61)),
    "text": np.array(["1.5", "2"] * 30, dtype=object),
    "string": pd.array(["1.5", "2"] * 30, dtype="string"),
    "timestamps": np.array([datetime.datetime(2020, 1, 1)] * 60, dtype=object),
    "dicts": np.array([{"a": 1}] * 60, dtype=object),
}


@pytest.mark.parametrize("kind", NOT_NUMBERS)
@pytest.mark.parametrize("Est", ESTIMATORS)
def test_columns_neither_numeric_nor_categorical_are_refused_at_fit_and_predict(Est, kind):
    frame, y = data(Est)
    bad = frame.assign(t=NOT_NUMBERS[kind])
    with pytest.raises(ValueError, match="column 't' is neither numeric nor categorical"):
        make(Est).fit(bad, y)
    with pytest.raises(ValueError, match="column 't' is neither numeric nor categorical"):
        make(Est).fit(frame, y).predict(bad)


@pytest.mark.parametrize("values, message", [
    (np.datetime64("2020-01-01") + np.arange(60).reshape(20, 3), "X holds datetime64"),
    (np.arange(60).reshape(20, 3).astype("m8[s]"), "X holds timedelta64"),
    (np.arange(60.0).reshape(20, 3) + 1j, "Complex data not supported"),
    (np.arange(60.0).reshape(20, 3).astype(str), "column 0 is neither numeric nor categorical"),
    (np.array([[1.0, np.timedelta64(1, "D")]] * 20, dtype=object),  # NumPy: an integer
     "column 1 is neither numeric nor categorical: it holds timedelta64"),
])
@pytest.mark.parametrize("Est", ESTIMATORS)
def test_arrays_of_dates_durations_complex_numbers_or_text_are_refused(Est, values, message):
    with pytest.raises(ValueError, match=message):
        make(Est).fit(values, data(Est, n=20)[1])


NUMBERS = {  # a column of numbers in another type, and the floats it stands for
    "bool": ([True, False, True], [1.0, 0.0, 1.0]),
    "boolean-NA": (pd.array([True, None, False], dtype="boolean"), [1.0, NAN, 0.0]),
    "Int64-NA": (pd.array([3, None, -2], dtype="Int64"), [3.0, NAN, -2.0]),
    "Float64-NA": (pd.array([0.5, None, 2.5], dtype="Float64"), [0.5, NAN, 2.5]),
    "float16": (np.array([0.5, 1.25, -3.0], dtype=np.float16), [0.5, 1.25, -3.0]),
    "objects": (np.array([1, None, decimal.Decimal("2.5")], dtype=object), [1.0, NAN, 2.5]),
}


@pytest.mark.parametrize("kind", NUMBERS)
@pytest.mark.parametrize("Est", ESTIMATORS)
def test_other_kinds_of_numbers_fit_and_predict_as_their_floats(Est, kind):
    frame, y = data(Est)
    column, floats = NUMBERS[kind]
    given, plain = frame.assign(t=np.tile(column, 20)), frame.assign(t=np.tile(floats, 20))
    est, expected = make(Est).fit(given, y), make(Est).fit(plain, y)
    same_model(est, expected)
    np.testing.assert_array_equal(est.predict(given), expected.predict(plain))


def test_a_list_mixing_text_and_numbers_keeps_its_numbers():
    frame, y = data(QUORRegressor)
    colour = np.where(frame["code"] > 1, "red", "blue")
    rows = [[c, x] for c, x in zip(colour, frame["signal"])]
    est = QUORRegressor(categorical=[0]).fit(rows, y)
    same_model(est, QUORRegressor().fit(
        pd.DataFrame({"c": pd.Categorical(colour), "x": frame["signal"]}), y))


@pytest.mark.parametrize("code", [0.7, 3.5, 2.0**32 - 1, 5e9, 1e300])
@pytest.mark.parametrize("Est", ESTIMATORS)
def test_a_numeric_categorical_column_takes_only_integer_codes(Est, code):
    frame, y = data(Est)
    bad = frame.copy()
    bad.loc[5, "code"] = code
    message = re.escape(f"column 'code' holds {code!r} in row 5, which is not a category code")
    with pytest.raises(ValueError, match=message):
        make(Est, categorical=["code"]).fit(bad, y)
    with pytest.raises(ValueError, match=message):
        make(Est, categorical=["code"]).fit(frame, y).predict(bad)
    with pytest.raises(ValueError, match="categorical column 1 holds"):  # NumPy input
        make(Est, categorical=[1]).fit(bad.to_numpy(), y)


@pytest.mark.parametrize("Est", ESTIMATORS)
def test_negative_and_missing_codes_are_missing_and_the_largest_code_is_a_code(Est):
    frame, y = data(Est)
    frame.loc[::7, "code"] = NAN
    est = make(Est, categorical=["code"]).fit(frame.fillna(-1.0), y)
    same_model(est, make(Est, categorical=["code"]).fit(frame, y))
    largest = frame.replace(3.0, 2.0**32 - 2)
    make(Est, categorical=["code"]).fit(largest, y).predict(largest)


@pytest.mark.parametrize("name, value", [("n_bins", 0), ("n_bins", 1), ("cv_folds", 0),
                                         ("cv_folds", 1)])
@pytest.mark.parametrize("Est", ESTIMATORS)
def test_settings_that_cannot_give_a_real_model_are_refused(Est, name, value):
    est = make(Est, **{name: value})
    with pytest.raises(InvalidParameterError, match=re.escape(
            f"'{name}' parameter of {Est.__name__} must be an int in the range [2, 2**64 - 1]")):
        est.fit("not data", None)
    _params.check_params(est, stored=True)  # a model stored by an earlier version


@pytest.mark.parametrize("render", [quor.export_text, quor.export_graphviz, quor.plot_tree])
def test_exports_take_one_quor_tree(render):
    frame, y = data(QUORForestClassifier)
    forest = make(QUORForestClassifier).fit(frame, y)
    with pytest.raises(TypeError, match=re.escape("is a forest: pass one of its trees, "
                                                  "forest.estimators_[i]")):
        render(forest)
    assert render(forest.estimators_[0])
    for other in (DecisionTreeClassifier().fit(frame, y), forest.estimators_[0]._forest, "tree"):
        with pytest.raises(TypeError, match="takes a QUORClassifier or QUORRegressor, got"):
            render(other)


@pytest.mark.parametrize("Est", ESTIMATORS)
def test_targets_quor_does_not_model_are_refused(Est):
    frame, y = data(Est)
    with pytest.raises(ValueError, match=r"y has 2 columns \(shape \(60, 2\)\).*multi-output"):
        make(Est).fit(frame, np.column_stack([y, y]))
    with pytest.warns(UserWarning, match="column-vector y"):  # scikit-learn's way
        same_model(make(Est).fit(frame, y.reshape(-1, 1)), make(Est).fit(frame, y))
    if Est in CLASSIFIERS:
        for mixed in (["a", 1] * 30, np.array(["a", 1] * 30, dtype=object)):
            with pytest.raises(ValueError, match=r"mixes class labels of different kinds: "
                                                 r"'a' \(str\) and 1 \(int\)"):
                make(Est).fit(frame, mixed)
        one = make(Est).fit(frame, ["only"] * 60)
        assert one.predict(frame[:3]).tolist() == ["only"] * 3
        np.testing.assert_array_equal(one.predict_proba(frame[:3]), np.ones((3, 1)))
