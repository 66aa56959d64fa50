"""Thresholds halfway between a node's values: the same tree as at the bins'
edges but for its bounds, each in the middle of the gap it stands in, and
kept by model files and pickles; files written before the option load with
their bounds at the edges."""

import json
import pickle

import numpy as np
import pytest

import quor
from quor import QUORClassifier, QUORRegressor
from quor._io import _checksum

STRUCTURE = ("children_left", "children_right", "feature", "is_categorical", "category",
             "missing_left", "n_node_samples", "value")


def gappy_data(n=300):
    """Integer-valued columns with gaps (some values never occur), one with
    missing values, one categorical; a target that needs several splits."""
    rng = np.random.default_rng(7)
    X = np.column_stack([rng.choice([0, 1, 2, 5, 9, 10, 30], n), rng.integers(0, 40, n) * 0.5,
                         rng.integers(0, 4, n), rng.normal(size=n).round(2)])
    X[rng.random(n) < 0.1, 1] = np.nan
    y = X[:, 0] + np.nan_to_num(X[:, 1], nan=12.0) / 4 + (X[:, 2] == 1) * 3 + rng.normal(size=n)
    return X, y


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("task", ["regressor", "objective"])
def test_midpoints_move_only_the_bounds_into_their_gaps(task, mode):
    # The exact midpoints are the core's tests; here the package's path, the
    # objective's trees too, give the same tree but for bounds inside their gaps.
    X, y = gappy_data()
    if task == "regressor":
        make, target = QUORRegressor, y
    else:
        make, target = (lambda **kw: QUORClassifier(objective="f1", objective_splits="objective",
                                                    **kw)), (y > np.median(y)).astype(int)
    edge = make(threshold_placement="edge", mode=mode, categorical=[2]).fit(X, target)
    mid = make(threshold_placement="midpoint", mode=mode, categorical=[2]).fit(X, target)
    a, b = edge.tree_, mid.tree_
    for name in STRUCTURE:
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)
    np.testing.assert_array_equal(edge.apply(X), mid.apply(X))
    moved = np.isfinite(a.upper) & (a.upper != b.upper)
    assert moved.any()
    if mode == "strict":  # the edge is the right side's smallest value: halfway is below it
        assert (b.upper[moved] < a.upper[moved]).all()


def test_files_and_pickles_keep_the_bounds_and_older_files_load_at_the_edges(tmp_path):
    X, y = gappy_data()
    mid = QUORRegressor(max_depth=4, categorical=[2]).fit(X, y)
    edge = QUORRegressor(max_depth=4, categorical=[2], threshold_placement="edge").fit(X, y)
    assert mid.threshold_placement == "midpoint"
    between = X.copy()
    between[:, [0, 1, 3]] += 0.25  # values in the gaps
    path = tmp_path / "m.quor"
    quor.save(mid, path)
    for loaded in (quor.load(path), pickle.loads(pickle.dumps(mid))):
        np.testing.assert_array_equal(loaded.tree_.upper, mid.tree_.upper)
        np.testing.assert_array_equal(loaded.predict(between), mid.predict(between))
    # A file written before the option: no parameter, no setting.
    quor.save(edge, path)
    document = json.loads(path.read_text())
    assert "threshold_placement" not in document["forest"]["settings"]
    del document["params"]["threshold_placement"]
    document["format_version"] = 7
    document["checksum"] = _checksum(document)
    path.write_text(json.dumps(document))
    old = quor.load(path)
    assert old.threshold_placement == "edge"
    np.testing.assert_array_equal(old.predict(between), edge.predict(between))
    # Parameters that disagree with the stored settings are refused.
    document["params"]["threshold_placement"] = "midpoint"
    document["checksum"] = _checksum(document)
    path.write_text(json.dumps(document))
    with pytest.raises(ValueError, match="settings are not"):
        quor.load(path)
