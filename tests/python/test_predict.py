"""Routing rules, input arrays of any layout, result arrays and the fitted check."""

import numpy as np
import pytest

from quor import _quor
from conftest import (CLASSES, CLASSIFIERS, INF, NAN, category, construct, from_nodes,
                      interval, leaf, needs_bad_alloc, sides, stump)

BIG = np.finfo(np.float64).max


@pytest.mark.parametrize("split, categorical, values, expected", [
    # Closed below, open above; non-finite values go right.
    (interval(0, 1, 2, 1.0, 2.0), (), [1.0, 1.5, 2.0, 0.999, NAN, INF, -INF], "LLRRRRR"),
    (interval(0, 1, 2, upper=0.0), (), [-INF, -BIG, -0.0, 0.0, -1e-300], "RLRRL"),
    (interval(0, 1, 2, lower=0.0), (), [0.0, -0.0, BIG, INF, -1e-300], "LLLRR"),
    (interval(0, 1, 2), (), [-BIG, BIG, 0.0, NAN, INF], "LLLRR"),
    (interval(0, 1, 2, NAN, 5.0), (), [0.0, 1.0], "RR"),
    # Category codes round half away from zero; negatives and NaN are missing.
    (category(0, 3, 1, 2), [0], [3.0, 2.6, 3.4, 2.5, 3.5, -3.0, NAN], "LLLLRRR"),
    (category(0, 0, 1, 2), [0], [0.0, -0.0, 0.49, 0.5, -0.5], "LLLRR"),
    # Dump codes keep their low 32 bits: -1 is the missing code, 2**32 is 0.
    (category(0, -1, 1, 2), [0], [NAN, -1.0, INF, 1e12, 4294967294.0, 4294967295.0], "LLLLRL"),
    (category(0, 2**32, 1, 2), [0], [0.0, 1.0], "LR"),
    # A column not declared categorical never matches a category split, and a
    # categorical column never satisfies an interval.
    (category(0, 3, 1, 2), [], [3.0, 3.4], "RR"),
    (interval(0, 1, 2, upper=10.0), [0], [3.0, -1.0], "RR"),
])
def test_routing_rules(cls, split, categorical, values, expected):
    est = stump(cls, split, categorical)
    assert sides(est, np.array(values).reshape(-1, 1)) == expected


def test_missing_column_fails_only_when_reached(cls):
    # Root: feature 0 < 0 goes left to a leaf; right goes to a split on feature 5.
    nodes = [interval(0, 1, 2, upper=0.0), leaf(1.0 if cls is _quor.RawRegressor else ([1.0], 0)),
             interval(5, 3, 4, upper=0.0),
             leaf(2.0 if cls is _quor.RawRegressor else ([0.0, 1.0], 1)),
             leaf(3.0 if cls is _quor.RawRegressor else ([0.5, 0.5], 0))]
    est = from_nodes(cls, nodes)
    est.predict(np.array([[-1.0], [-2.0]]))  # never reaches feature 5
    est.predict(np.array([[1.0, 0, 0, 0, 0, -1.0, 7.0]]))  # extra columns ignored
    with pytest.raises(BaseException) as info:
        est.predict(np.array([[-1.0], [1.0]]))
    assert type(info.value).__name__ == "PanicException"
    assert "5" in str(info.value) and "1" in str(info.value)
    if cls in CLASSIFIERS:
        with pytest.raises(BaseException, match="5"):
            est.predict_proba(np.array([[1.0, 2.0]]))


def test_single_leaf_tree(cls):
    payload = 7.5 if cls is _quor.RawRegressor else ([0.25, 0.75], 1)
    est = from_nodes(cls, [leaf(payload)])
    assert est.depth() == 0 and est.n_leaves() == 1
    pred = est.predict(np.zeros((3, 0)))  # rows with no columns
    assert pred.tolist() == ([7.5] * 3 if cls is _quor.RawRegressor else [1] * 3)


def test_zero_rows(cls):
    est = stump(cls, interval(3, 1, 2, upper=0.0))
    for n_cols in [0, 1, 5]:
        x = np.zeros((0, n_cols))
        assert est.predict(x).shape == (0,)
        if cls in CLASSIFIERS:
            assert est.predict_proba(x).shape == (0, 2)


def test_predict_proba_copies_leaf_probabilities(classifier_cls):
    nodes = [interval(0, 1, 2, upper=0.0), leaf(([0.0, 0.0], 1)), leaf(([0.2, 0.3, 0.5], 2))]
    x = np.array([[-1.0], [1.0]])
    for n_classes, expected in [
        (2, [[0.0, 0.0], [0.2, 0.3]]),  # not renormalised; longer lists cut
        (4, [[0.0, 0.0, 0.0, 0.0], [0.2, 0.3, 0.5, 0.0]]),  # shorter lists padded
        (0, [[0.0], [0.2]]),  # no classes: one column
    ]:
        est = from_nodes(classifier_cls, nodes, n_classes=n_classes)
        assert est.predict_proba(x).tolist() == expected
        assert est.predict(x).tolist() == [1, 2]


def layouts():
    rng = np.random.default_rng(0)
    base = rng.normal(size=(40, 6))
    base[::7, 1] = NAN
    base[:, 2] = rng.integers(0, 3, size=40)
    unaligned = np.frombuffer(bytearray(base.nbytes + 1)[1:], dtype=np.float64).reshape(40, 6)
    unaligned[...] = base
    return {
        "fortran": np.asfortranarray(base),
        "row_step": np.repeat(base, 2, axis=0)[::2],
        "column_step": np.repeat(base, 3, axis=1)[:, ::3],
        "negative_rows": np.ascontiguousarray(base[::-1])[::-1],
        "negative_both": np.ascontiguousarray(base[::-1, ::-1])[::-1, ::-1],
        "unaligned": unaligned,
        "transposed": np.ascontiguousarray(base.T).T,
        "subclass": base.view(np.matrix),
    }, base


@pytest.mark.parametrize("layout", list(layouts()[0]))
def test_any_memory_layout_predicts_like_c_order(cls, layout):
    arrays, base = layouts()
    x = arrays[layout]
    assert np.array_equal(np.asarray(x), base, equal_nan=True)
    if layout.startswith("negative"):
        assert np.asarray(x).strides[0] < 0
    nodes = [interval(0, 1, 2, upper=0.1), category(2, 1, 3, 4), interval(1, 5, 6, -0.5, 0.5),
             leaf(1.0 if cls is _quor.RawRegressor else ([1.0, 0.0], 0)),
             leaf(2.0 if cls is _quor.RawRegressor else ([0.0, 1.0], 1)),
             leaf(3.0 if cls is _quor.RawRegressor else ([0.5, 0.5], 2)),
             leaf(4.0 if cls is _quor.RawRegressor else ([0.9, 0.1], 3))]
    est = from_nodes(cls, nodes, categorical=[2])
    expected = est.predict(np.ascontiguousarray(base))
    assert len(set(expected.tolist())) == 4  # every leaf is reached
    before = np.array(x, copy=True)
    assert est.predict(x).tolist() == expected.tolist()
    if cls in CLASSIFIERS:
        assert est.predict_proba(x).tolist() == est.predict_proba(base).tolist()
    assert np.array_equal(np.asarray(x), before, equal_nan=True)  # input untouched


def test_result_arrays_are_new_contiguous_writable_and_owning(cls):
    est = stump(cls, interval(0, 1, 2, upper=0.0))
    x = np.asfortranarray(np.array([[-1.0, 5.0], [1.0, 5.0], [0.0, 5.0]]))
    results = [(est.predict(x), np.float64 if cls is _quor.RawRegressor else np.int64)]
    if cls in CLASSIFIERS:
        results.append((est.predict_proba(x), np.float64))
    for out, dtype in results:
        assert type(out) is np.ndarray and out.dtype == dtype
        assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
        assert out.base is None and not np.shares_memory(out, x)
    again = est.predict(x)
    assert again is not results[0][0] and not np.shares_memory(again, results[0][0])


@pytest.mark.parametrize("x", [
    [[1.0]], np.array([1.0]), np.zeros((1, 1, 1)), np.zeros((2, 2), dtype=np.float32),
    np.zeros((2, 2), dtype=np.int64), np.zeros((2, 2), dtype=object), 3.0,
])
def test_bad_x_is_a_type_error_checked_before_fitted(cls, x):
    for est in [construct(cls), stump(cls, interval(0, 1, 2))]:
        methods = [est.predict] + ([est.predict_proba] if cls in CLASSIFIERS else [])
        for method in methods:
            with pytest.raises(TypeError, match="^argument 'x': "):
                method(x)


def test_unfitted_estimator(cls):
    est = construct(cls)
    assert est.depth() == 0 and est.n_leaves() == 0
    methods = [est.predict] + ([est.predict_proba] if cls in CLASSIFIERS else [])
    for method in methods:
        with pytest.raises(ValueError, match="^estimator is not fitted$"):
            method(np.zeros((0, 2)))
        with pytest.raises(TypeError):
            method()
        with pytest.raises(TypeError):
            method(x=np.zeros((1, 1)), y=1)
    with pytest.raises(TypeError):
        est.depth(1)


def test_huge_outputs_raise_memory_error(classifier_cls):
    nodes = [leaf(([1.0], 0))]
    x = np.zeros((2, 1))
    for n_classes in [2**40, 2**62, 2**64 - 1]:
        est = from_nodes(classifier_cls, nodes, n_classes=n_classes)
        with pytest.raises(MemoryError):
            est.predict_proba(x)
        assert est.predict(x).tolist() == [0, 0]


@needs_bad_alloc
def test_huge_categorical_lists_raise_memory_error(cls):
    for size in [2**40, 2**62]:
        with pytest.raises(MemoryError):
            construct(cls, categorical=range(size))
        with pytest.raises(MemoryError):
            from_nodes(cls, [leaf(1.0 if cls is _quor.RawRegressor else ([1.0], 0))],
                       categorical=range(size))
