"""fit: input checks in their order, the growers' results and failure atomicity."""

import gc
import sys

import numpy as np
import pytest

from quor import _quor
from conftest import (CLASSIFIERS, assert_tree_equal, chain_dump, classification_data,
                      construct, from_nodes, interval, leaf, regression_data, stump)


def good_y(cls, n):
    return np.zeros(n, dtype=np.int64 if cls in CLASSIFIERS else np.float64)


def data(cls, seed=0, n=60):
    return (classification_data if cls in CLASSIFIERS else regression_data)(seed, n)


@pytest.mark.parametrize("x", [
    [[1.0]], np.zeros(3), np.zeros((3, 1), dtype=np.int64), np.zeros((3, 1), dtype=np.float32),
    np.zeros((3, 1, 1)),
])
def test_x_checked_first(cls, x):
    est = construct(cls)
    with pytest.raises(TypeError, match="^argument 'x': "):
        est.fit(x, "not an array either")


def test_y_dtype_and_shape(cls):
    est = construct(cls)
    x = np.zeros((3, 1))
    wrong = np.float64 if cls in CLASSIFIERS else np.int64
    for y in [np.zeros(3, dtype=wrong), np.zeros(3, dtype=np.float32), np.zeros((3, 1)),
              [0, 0, 0], np.zeros(3, dtype=np.int32)]:
        with pytest.raises(TypeError, match="^argument 'y': "):
            est.fit(x, y)
    with pytest.raises(TypeError):
        est.fit(x)


@pytest.mark.parametrize("shape, n_targets, message", [
    ((5, 0), 5, "need at least one feature column"),
    ((5, 0), 2, "need at least one feature column"),
    ((0, 3), 0, "need at least one sample"),
    ((0, 3), 2, "targets length 2 does not match 0 samples"),
    ((4, 2), 3, "targets length 3 does not match 4 samples"),
])
def test_data_checks(cls, shape, n_targets, message):
    est = construct(cls)
    with pytest.raises(ValueError) as info:
        est.fit(np.zeros(shape), good_y(cls, n_targets))
    assert str(info.value) == message


def test_failed_fit_leaves_a_rebuilt_estimator_unchanged(cls):
    payload = (lambda v: v) if cls is _quor.RawRegressor else (lambda v: ([1 - v, v], int(v)))
    est = from_nodes(cls, [interval(0, 1, 2, upper=0.0), leaf(payload(0.0)), leaf(payload(1.0))])
    x = np.array([[-1.0], [1.0]])
    before, dump = est.predict(x), est.export_tree()
    for bad_x, bad_y in [(np.zeros((4, 0)), good_y(cls, 4)), (np.zeros((0, 2)), good_y(cls, 0)),
                         (np.zeros((3, 2)), good_y(cls, 2)), (np.zeros(3), good_y(cls, 3)),
                         (np.zeros((3, 1)), np.zeros((3, 1)))]:
        with pytest.raises((TypeError, ValueError)):
            est.fit(bad_x, bad_y)
        assert est.predict(x).tolist() == before.tolist()
        assert_tree_equal(est.export_tree(), dump)


def test_grower_refusal_leaves_the_estimator_as_it_was():
    # Fast mode refuses to encode more distinct categories than its codes hold.
    est = construct(_quor.RawRegressor, mode="fast", categorical=[0])
    with pytest.raises(ValueError):
        est.fit(np.arange(70_000, dtype=np.float64).reshape(-1, 1), np.zeros(70_000))
    assert est.depth() == 0
    with pytest.raises(ValueError, match="^estimator is not fitted$"):
        est.predict(np.zeros((1, 1)))
    x, y = regression_data(3)
    est.fit(x[:, -1:], y)
    before = est.export_tree()
    with pytest.raises(ValueError):
        est.fit(np.arange(70_000, dtype=np.float64).reshape(-1, 1), np.zeros(70_000))
    assert_tree_equal(est.export_tree(), before)


@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_fitted_trees_round_trip_through_the_dump(cls, mode):
    x, y = data(cls, seed=7)
    est = construct(cls, mode=mode, categorical=[2], max_depth=4)
    assert est.fit(x, y) is None
    assert est.n_leaves() >= 2
    dump = est.export_tree()
    again = (cls.from_tree(dump, 2, [2]) if cls in CLASSIFIERS else cls.from_tree(dump, [2]))
    assert_tree_equal(again.export_tree(), dump)
    grid = np.random.default_rng(8).normal(size=(300, 3)) * 2
    grid[:, 2] = np.round(grid[:, 2])
    assert again.predict(grid).tolist() == est.predict(grid).tolist()
    if cls in CLASSIFIERS:
        assert again.predict_proba(grid).tolist() == est.predict_proba(grid).tolist()
    assert (again.depth(), again.n_leaves()) == (est.depth(), est.n_leaves())


def test_layout_of_training_data_does_not_matter(cls):
    x, y = data(cls, seed=4)
    reference = construct(cls)
    reference.fit(x, y)
    for x2, y2 in [(np.asfortranarray(x), y),
                   (np.ascontiguousarray(x[::-1])[::-1], np.ascontiguousarray(y[::-1])[::-1]),
                   (np.repeat(x, 2, axis=0)[::2], np.repeat(y, 2)[::2])]:
        est = construct(cls)
        est.fit(x2, y2)
        assert_tree_equal(est.export_tree(), reference.export_tree())


def test_negative_labels_count_as_class_zero(classifier_cls):
    x, y = classification_data(5)
    a, b = construct(classifier_cls), construct(classifier_cls)
    a.fit(x, y)
    b.fit(x, np.where(y == 0, -1, y))
    assert_tree_equal(a.export_tree(), b.export_tree())


def test_refit_replaces_the_tree(cls):
    est = stump(cls, interval(0, 1, 2, upper=0.0))
    x, y = data(cls, seed=2)
    est.fit(x, y)
    fresh = construct(cls, max_depth=8)
    if cls is _quor.RawObjectiveClassifier:
        fresh = construct(cls, max_depth=8, objective="accuracy")
    fresh.fit(x, y)
    # The rebuilt estimator's placeholder settings are those of this fresh one.
    assert_tree_equal(est.export_tree(), fresh.export_tree())


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="collections no longer run inside C calls")
def test_fit_during_another_call_is_refused():
    # A collection triggered by an allocation inside export_tree runs Python
    # code (a gc callback) while the estimator is borrowed.
    # Enough lists (one per node) to get past the interpreter's free lists.
    est = _quor.RawClassifier.from_tree(chain_dump(_quor.RawClassifier, 500), 2, [])
    x, y = np.zeros((4, 1)), np.zeros(4, dtype=np.int64)
    seen = []

    def callback(phase, info):
        if phase == "start" and not seen:
            try:
                est.fit(x, y)
                seen.append(None)
            except RuntimeError as e:
                seen.append(str(e))

    threshold = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    try:
        est.export_tree()
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)
    assert seen == ["Already borrowed"]
    est.fit(x, y)  # the borrow ended with the call
