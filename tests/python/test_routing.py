"""Leaf routing (`apply`, `decision_path`) and the recorded split scores,
checked against the exported tree of fitted estimators."""

import numpy as np
import pytest

from quor import _quor
from conftest import CLASSIFIERS, construct


def mixed_data(n, seed=3):
    """Integer-valued columns (exactly rounded), NaN and infinities in the
    continuous ones, and a categorical column 2 with missing codes (-1)."""
    rng = np.random.default_rng(seed)
    x = rng.integers(-20, 21, size=(n, 4)).astype(np.float64)
    x[:, 2] = rng.integers(-1, 5, size=n)
    x[rng.integers(0, 9, size=n) == 0, 0] = np.nan
    x[rng.integers(0, 15, size=n) == 0, 1] = np.inf
    signal = x[:, 0] + 3 * (x[:, 2] == 2) - np.where(np.isnan(x[:, 0]), 9, 0)
    y_cls = (np.nan_to_num(signal) > 0).astype(np.int64) + (x[:, 1] > 10)
    noisy = rng.integers(0, 4, size=n) == 0
    y_cls[noisy] = rng.integers(0, 3, size=noisy.sum())
    return x, np.nan_to_num(signal) + x[:, 3] / 8, y_cls


def fitted(cls, n=300, **settings):
    x, y_reg, y_cls = mixed_data(n)
    extra = {"n_classes": 3} if cls in CLASSIFIERS else {}
    if cls is _quor.RawObjectiveClassifier:
        extra["average"] = "macro"
    est = construct(cls, categorical=[2], max_depth=6, **extra, **settings)
    est.fit(x, y_cls if cls in CLASSIFIERS else y_reg)
    return est, x


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("style", ["threshold", "bin"])
def test_routing_agrees_with_predict_and_the_export(cls, mode, style):
    est, x = fitted(cls, mode=mode, split_style=style, min_impurity_decrease=0.001)
    dump = est.export_tree()
    leaves = est.apply(x)
    assert leaves.dtype == np.int64 and leaves.shape == (len(x),)
    assert all(dump["is_leaf"][i] for i in leaves)
    if cls in CLASSIFIERS:
        assert est.predict(x).tolist() == [dump["predicted_class"][i] for i in leaves]
        assert est.predict_proba(x).tolist() == [dump["proba"][i] for i in leaves]
    else:
        assert est.predict(x).tolist() == [dump["value"][i] for i in leaves]

    indptr, indices = est.decision_path(x)
    assert indptr.dtype == indices.dtype == np.int64
    assert indptr.shape == (len(x) + 1,) and indptr[0] == 0 and indptr[-1] == len(indices)
    for r in range(len(x)):
        path = indices[indptr[r]:indptr[r + 1]].tolist()
        assert path[0] == 0 and path[-1] == leaves[r]
        for parent, child in zip(path, path[1:]):
            assert child in (dump["children_left"][parent], dump["children_right"][parent])

    # Split scores: finite exactly at the splits, each above the threshold it
    # had to beat; unknown after a rebuild, whose routing is unchanged.
    scores = est.split_scores()
    assert scores.dtype == np.float64 and scores.shape == (dump["node_count"],)
    is_leaf = np.array(dump["is_leaf"])
    assert np.isnan(scores[is_leaf]).all() and np.isfinite(scores[~is_leaf]).all()
    assert (scores[~is_leaf] > 0.001).all() and (~is_leaf).sum() >= 3
    args = (dump, 3, [2]) if cls in CLASSIFIERS else (dump, [2])
    rebuilt = cls.from_tree(*args)
    assert np.isnan(rebuilt.split_scores()).all()
    assert rebuilt.apply(x).tolist() == leaves.tolist()


@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_split_scores_survive_threaded_growth(cls, mode):
    # Enough samples that threads grow subtrees apart and put them together.
    big = dict(n=3000, mode=mode, min_impurity_decrease=-np.inf)
    one, _ = fitted(cls, **big)
    many, _ = fitted(cls, **big, parallel=True, n_threads=3, parallel_min_samples=0)
    assert one.n_leaves() > 20
    assert many.split_scores().tobytes() == one.split_scores().tobytes()


def test_inputs_are_checked_like_predict(cls):
    est = construct(cls, **({"n_classes": 2} if cls in CLASSIFIERS else {}))
    for method in (est.apply, est.decision_path):
        with pytest.raises(TypeError, match="argument 'x'"):
            method(np.zeros((2, 2), dtype=np.float32))
        with pytest.raises(ValueError, match="estimator is not fitted"):
            method(np.zeros((2, 2)))
        with pytest.raises(TypeError):
            method()
    with pytest.raises(ValueError, match="estimator is not fitted"):
        est.split_scores()
    assert est.apply.__text_signature__ == "($self, x)"
    assert est.decision_path.__text_signature__ == "($self, x)"
    assert est.split_scores.__text_signature__ == "($self)"


def test_row_shorter_than_the_split_feature_is_an_internal_error(cls):
    est, x = fitted(cls)
    with pytest.raises(BaseException) as info:
        est.apply(x[:, :0].copy())
    assert type(info.value) is not ValueError and type(info.value).__name__ == "PanicException"
    assert est.apply(np.zeros((0, 4))).shape == (0,)
    indptr, indices = est.decision_path(np.zeros((0, 4)))
    assert indptr.tolist() == [0] and indices.shape == (0,)


def test_finite_entry_points_refuse_exactly_inputs_with_an_infinity(cls):
    est, x = fitted(cls)
    x = np.repeat(x, 250, axis=0)  # enough rows for two threads
    x[np.isinf(x)] = np.nan  # NaN is no reason to refuse
    pairs = [(est.predict_finite, est.predict)]
    if cls in CLASSIFIERS:
        pairs.append((est.predict_proba_finite, est.predict_proba))
    for finite, plain in pairs:
        expected = plain(x)
        for n_threads in (0, 1, 2):
            for layout in (x, np.asfortranarray(x)):
                assert finite(layout, n_threads).tobytes() == expected.tobytes()
        # An infinity in a column no split reads.
        wide = np.hstack([x, np.zeros((len(x), 1))])
        wide[-1, -1] = -np.inf
        assert finite(wide, 2) is None and plain(wide).tobytes() == expected.tobytes()
        with pytest.raises(OverflowError):
            finite(x, -1)
        with pytest.raises(TypeError, match="argument 'x'"):
            finite(x.astype(np.float32), 1)
