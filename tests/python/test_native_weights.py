"""The native forest's sample_weight and balanced_subsample: what it refuses, and what a zero weight is."""

import numpy as np
import pytest

from quor import QUORForestClassifier, QUORForestRegressor, RawForest
from quor import _params


def raw(kind="classifier", mode="fast", n=40, **extra):
    est = (QUORForestClassifier(n_estimators=3, mode=mode) if kind == "classifier"
           else QUORForestRegressor(n_estimators=3, mode=mode))
    task = {"criterion": "gini", "n_classes": 2} if kind == "classifier" else {"criterion": "mse"}
    settings = _params.core_settings(est, task, [], n, 3)
    settings.update(extra)
    return RawForest(kind, settings)


def data(n=40):
    rng = np.random.default_rng(0)
    X = rng.integers(0, 8, size=(n, 3)).astype(np.float64)
    return X, (X[:, 0] > 3).astype(np.int64)


def arrays(forest):
    return {k: v.tobytes() for k, v in forest.export_arrays().items()}


@pytest.mark.parametrize("weights, message", [
    (np.ones(39), r"39 entries, expected one per row of x \(40\)"),
    (np.ones(0), "0 entries"),
    (np.r_[np.ones(39), -1.0], r"sample_weight\[39\] is -1"),
    (np.r_[np.nan, np.ones(39)], r"sample_weight\[0\] is nan"),
    (np.r_[np.ones(20), np.inf, np.ones(19)], r"sample_weight\[20\] is inf"),
    (np.zeros(40), "zero for every row"),
    (np.full(40, 1e307), "sums to more than a float64 holds"),
    (np.ones((40, 1)), "1-dimensional array of floats or integers, got a 2-dimensional"),
    (np.ones(40, dtype=bool), "got a 1-dimensional array of bool"),
    (np.array(["1"] * 40), "floats or integers"),
    ([1.0] * 40, "expected a 1-dimensional NumPy array of numbers, got 'list'"),
])
def test_bad_weights_are_refused_and_the_forest_is_left_as_it_was(weights, message):
    X, y = data()
    forest = raw()
    forest.fit(X, y, [1, 2], 1, False, None)
    before = arrays(forest)
    with pytest.raises(ValueError, match=message):
        forest.fit(X, y, [1, 2], 1, False, None, sample_weight=weights)
    assert arrays(forest) == before


@pytest.mark.parametrize("value", [-0.1, 0.51, float("nan")])
def test_min_weight_fraction_leaf_is_checked(value):
    with pytest.raises(ValueError, match="min_weight_fraction_leaf must be in"):
        raw(min_weight_fraction_leaf=value)


def test_balanced_subsample_is_for_classification_only():
    X, y = data()
    with pytest.raises(ValueError, match="classification forests only"):
        raw("regressor").fit(X, y.astype(np.float64), [1], 1, False, None, balanced_subsample=True)


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.uint8])
def test_zero_weights_are_rows_left_out_and_unit_weights_are_none(dtype):
    X, y = data()
    weights = np.ones(40, dtype=dtype)
    weights[::3] = 0
    kept = weights > 0
    weighted, plain, unit, unweighted = raw(), raw(), raw(), raw()
    weighted.fit(X, y, [1, 2, 3], 1, True, None, sample_weight=weights)
    plain.fit(X[kept], y[kept], [1, 2, 3], 1, True, None)
    unit.fit(X, y, [1, 2, 3], 1, False, None, np.ones(40, dtype=dtype), False)
    unweighted.fit(X, y, [1, 2, 3], 1, False, None)
    assert arrays(weighted) == arrays(plain)
    assert arrays(unit) == arrays(unweighted)
    oob = weighted.oob_prediction()
    assert np.isnan(oob[~kept]).all()
    np.testing.assert_array_equal(oob[kept], plain.oob_prediction())


@pytest.mark.parametrize("kind", ["classifier", "regressor"])
@pytest.mark.parametrize("mode", ["fast", "strict"])
def test_node_weight_is_exported_kept_and_optional_on_load(kind, mode):
    X, y = data(200)
    y = y if kind == "classifier" else X[:, 1] + y
    w = np.random.default_rng(3).integers(1, 12, size=200) / 4.0  # dyadic: every sum exact
    weighted, plain = raw(kind, mode, 200, max_samples=0), raw(kind, mode, 200, max_samples=0)
    weighted.fit(X, y, [5], 1, False, None, sample_weight=w)
    plain.fit(X, y, [5], 1, False, None)
    arrays, unweighted = weighted.export_arrays(), plain.export_arrays()
    assert arrays["node_weight"][0] == w.sum()
    np.testing.assert_array_equal(unweighted["node_weight"], unweighted["n_samples"])
    settings = _params.core_settings(QUORForestClassifier(mode=mode) if kind == "classifier"
                                     else QUORForestRegressor(mode=mode),
                                     {"criterion": "gini", "n_classes": 2} if kind == "classifier"
                                     else {"criterion": "mse"}, [], 200, 3)
    again = RawForest.from_arrays(kind, settings, arrays)
    assert {k: v.tobytes() for k, v in again.export_arrays().items()} == \
        {k: v.tobytes() for k, v in arrays.items()}
    older = {k: v for k, v in arrays.items() if k != "node_weight"}
    loaded = RawForest.from_arrays(kind, settings, older).export_arrays()
    np.testing.assert_array_equal(loaded["node_weight"], loaded["n_samples"])
