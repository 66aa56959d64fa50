"""Learned missing sides on the package's path: routing follows the stored
side (a naive walk over ``tree_``), reloaded models and pickles route the
same, a column without missing values grows the tree it grew before, and
the settings of missing="right" are the settings stored before the option."""

import pickle
import warnings

import numpy as np
import pytest

import quor
from quor import QUORClassifier, QUORRegressor, export_text
from quor._io import load, save


def _data(seed, n=300):
    rng = np.random.default_rng(seed)
    X = rng.integers(0, 6, size=(n, 3)).astype(float)
    X[rng.random(n) < 0.15, 0] = np.nan
    X[rng.random(n) < 0.05, 2] = np.nan
    # Missing values of column 0 behave as its small values.
    y = np.where(np.isnan(X[:, 0]), 0, (X[:, 0] > 2).astype(int) + (X[:, 1] > 3))
    return X, y


def _walk(tree, row):
    """The leaf a row reaches, read from the tree's arrays."""
    node = 0
    while not tree.is_leaf[node]:
        x = row[tree.feature[node]]
        if not np.isfinite(x):
            left = tree.missing_left[node]
        else:
            left = tree.lower[node] <= x < tree.upper[node]
        node = tree.children_left[node] if left else tree.children_right[node]
    return node


@pytest.mark.parametrize("Est", [QUORClassifier, QUORRegressor])
@pytest.mark.parametrize("style", ["threshold", "bin"])
@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_routing_files_and_pickles_follow_the_learned_side(Est, style, mode, tmp_path):
    X, y = _data(3)
    est = Est(missing="learn", split_style=style, mode=mode, min_samples_leaf=3).fit(X, y)
    tree = est.tree_
    assert tree.missing_left.any() or style == "bin"
    walked = np.array([_walk(tree, row) for row in X])
    assert (est.apply(X) == walked).all()
    paths = est.decision_path(X)
    assert (paths.indices[paths.indptr[1:] - 1] == walked).all()
    save(est, tmp_path / "m.json")
    for other in (load(tmp_path / "m.json"), pickle.loads(pickle.dumps(est))):
        assert (other.apply(X) == walked).all()
        assert (other.predict(X) == est.predict(X)).all()
        assert (other.tree_.missing_left == tree.missing_left).all()
    text = export_text(est)
    assert ("or missing" in text)


@pytest.mark.parametrize("Est", [QUORClassifier, QUORRegressor])
@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_columns_without_missing_values_grow_the_same_tree(Est, mode):
    X, y = _data(5)
    X = np.nan_to_num(X, nan=-1.0)
    right = Est(missing="right", mode=mode).fit(X, y)
    learn = Est(mode=mode).fit(X, y)  # learned sides are the default
    assert "missing" not in right._forest_settings  # stored as before the option
    assert learn._forest_settings["missing"] == "learn"
    a, b = right._forest.export_arrays(), learn._forest.export_arrays()
    for key in a:
        np.testing.assert_array_equal(a[key], b[key], err_msg=key)


@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_missing_values_alone_become_a_split(mode):
    rng = np.random.default_rng(0)
    X = rng.normal(size=(400, 1))
    missing = rng.random(400) < 0.2
    X[missing, 0] = np.nan
    y = missing.astype(int)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        QUORClassifier(missing="right", mode=mode).fit(X, y)
    assert mode == "fast" or any("missing" in str(w.message) for w in caught)
    est = QUORClassifier(missing="learn", mode=mode).fit(X, y)
    assert (est.predict(X) == y).all()
    assert "x[0] is missing" in export_text(est)


def test_unknown_missing_side_is_refused():
    X, y = _data(1)
    with pytest.raises(ValueError, match="missing"):
        QUORClassifier(missing="left").fit(X, y)
