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


@pytest.mark.parametrize("mode, n_bins, split_style", [("strict", 8, "threshold"), ("strict", 8, "bin"),
                                                       ("fast", 16, "threshold"),
                                                       ("fast", 1000, "threshold")])
@pytest.mark.parametrize("task", ["regressor", "classifier", "objective"])
def test_midpoints_move_only_the_bounds_into_the_middle_of_their_gaps(task, mode, n_bins, split_style):
    X, y = gappy_data()
    if task == "regressor":
        make, target = QUORRegressor, y
    else:
        extra = {"objective": "f1", "objective_splits": "objective"} if task == "objective" else {}
        make, target = (lambda **kw: QUORClassifier(**extra, **kw)), (y > np.median(y)).astype(int)
    kw = dict(mode=mode, n_bins=n_bins, split_style=split_style, max_depth=6, categorical=[2])
    edge = make(threshold_placement="edge", **kw).fit(X, target)
    mid = make(threshold_placement="midpoint", **kw).fit(X, target)
    a, b = edge.tree_, mid.tree_
    for name in STRUCTURE:
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)
    np.testing.assert_array_equal(edge.apply(X), mid.apply(X))
    np.testing.assert_array_equal(edge.predict(X), mid.predict(X))
    reached = edge.decision_path(X).toarray().astype(bool)
    moved = 0
    for i in np.flatnonzero(~a.is_leaf & ~a.is_categorical):
        values = X[reached[:, i], a.feature[i]]
        values = values[np.isfinite(values)]
        for at_edge, halfway in ((a.lower[i], b.lower[i]), (a.upper[i], b.upper[i])):
            if not np.isfinite(at_edge):
                assert np.isnan(halfway) if np.isnan(at_edge) else halfway == at_edge
                continue
            below, above = values[values < at_edge], values[values >= at_edge]
            if not len(below) or not len(above):
                continue
            below, above = below.max(), above.min()
            assert below < halfway <= above
            # Exact where every value has a bin of its own; fast mode with
            # fewer bins reads the gap from its bins' values.
            if mode == "strict" or n_bins == 1000:
                assert halfway == below / 2 + above / 2
            moved += halfway != at_edge
    assert moved > 0


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
