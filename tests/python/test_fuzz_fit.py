"""fit and predict fed random shapes, memory layouts, non-finite and huge
values and extreme hyperparameters: each fit either raises the error its input
calls for or grows a tree that is consistent, deterministic, independent of
memory layout and threads, and survives an export round trip bit for bit."""

import numpy as np
import pytest
from hypothesis import event, given, strategies as st

from quor import _quor
from conftest import CLASSES, CLASSIFIERS, INF, NAN, assert_tree_equal, construct
from fuzz_support import PANIC, fuzz_settings, layouts, rebuild

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

U64_MAX = 2**64 - 1
FAST_CODE_LIMIT = 65535
EXTREMES = (-0.0, NAN, INF, -INF, 1e308, -1e308, 5e-324, 4.5e9)


def rare(common, *extreme):
    """`common` seven times in eight, else one of the `extreme` values."""
    return st.integers(0, 7).flatmap(lambda k: st.sampled_from(extreme) if k == 0 else common)


@st.composite
def settings_for(draw, cls, n_features):
    # Half the cases keep every setting ordinary, so that trees grow deep.
    wild = draw(st.booleans())

    def setting(common, *extreme):
        return rare(common, *extreme) if wild else common

    kw = dict(
        max_depth=draw(setting(st.one_of(st.none(), st.integers(1, 8)), 0, U64_MAX)),
        min_samples_split=draw(setting(st.integers(1, 4), 0, U64_MAX)),
        min_samples_leaf=draw(setting(st.integers(1, 3), 0, U64_MAX)),
        min_impurity_decrease=draw(setting(st.sampled_from([0.0, -1.0, 1e-3]),
                                           NAN, INF, -INF, 1e300)),
        n_bins=draw(setting(st.integers(2, 12), 0, 1, 255, 256, 257, 65535, 65536, 70000)),
        cv_folds=draw(setting(st.integers(2, 6), 0, 1, 100, 10000)),
        cv_seed=draw(st.integers(0, U64_MAX)),
        cv_shuffle=draw(st.booleans()),
        mode=draw(st.sampled_from(["strict", "fast"])),
        split_style=draw(st.sampled_from(["threshold", "bin", "bin_membership"])),
        aggregator=draw(st.sampled_from(["mean", "median", "trimmed_mean", "signal_to_noise",
                                         "mean_minus_lambda_std"])),
        agg_frac=draw(setting(st.floats(0, 0.5), -1.0, 2.0, NAN, INF)),
        agg_eps=draw(setting(st.floats(1e-9, 1), 0.0, -1.0, NAN, INF)),
        agg_lambda=draw(setting(st.floats(0, 3), -3.0, NAN, INF, -INF)),
        parallel=draw(st.booleans()),
        n_threads=draw(setting(st.integers(1, 8), 0, 64)),
        parallel_min_samples=draw(st.sampled_from([0, 1, 5, 1000])),
        categorical=draw(st.lists(st.integers(0, n_features + 1), max_size=3)),
    )
    if cls is _quor.RawRegressor:
        kw["criterion"] = draw(st.sampled_from(["mse", "variance", "mae"]))
    else:
        kw["n_classes"] = draw(setting(st.integers(2, 4), 0, 1, 7))
    if cls is _quor.RawClassifier:
        kw["criterion"] = draw(st.sampled_from(["gini", "entropy"]))
    if cls is _quor.RawObjectiveClassifier:
        kw["objective"] = draw(st.sampled_from(["precision", "recall", "f1", "fbeta",
                                                "accuracy"]))
        kw["average"] = draw(st.sampled_from(["binary", "micro", "macro", "weighted"]))
        kw["pos_label"] = draw(setting(st.integers(0, 3), 9, U64_MAX))
        kw["beta"] = draw(setting(st.floats(0.1, 5), 0.0, -1.0, NAN, INF))
    return kw


def values(rng, shape, extreme_rate):
    """Integers and plain floats that make trees; at `extreme_rate`, a value
    that tests the edges."""
    plain = np.where(rng.random(shape) < 0.5, rng.integers(-3, 6, shape), rng.normal(0, 3, shape))
    edges = rng.choice(np.array(EXTREMES), shape)
    return np.where(rng.random(shape) < extreme_rate, edges, plain)


@st.composite
def fit_cases(draw):
    """Shapes and settings from Hypothesis; the values from a seeded generator
    (drawing every cell through Hypothesis is slow and finds no more)."""
    cls = draw(st.sampled_from(CLASSES))
    n = draw(rare(st.integers(2, 40), 0, 1))
    d = draw(rare(st.integers(1, 4), 0))
    m = draw(rare(st.just(n), *range(n + 3)))
    kw = draw(settings_for(cls, d))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    extreme_rate = draw(st.sampled_from([0.0, 0.0, 0.05, 0.3]))
    x = values(rng, (n, d), extreme_rate)
    # Targets that follow the first feature give trees with splits.
    signal = np.where(np.isfinite(x[:m, 0]), x[:m, 0], 7.0) if d else np.zeros(0)
    structured = len(signal) == m and draw(rare(st.just(True), False))
    if cls is _quor.RawRegressor:
        y = signal * 2.0 + rng.normal(0, 0.1, m) if structured else values(rng, m, extreme_rate)
        y = np.where(rng.random(m) < extreme_rate, values(rng, m, 1.0), y)
    else:
        k = max(kw["n_classes"], 1)
        y = ((signal > 0.5).astype(np.int64) + (signal > 2.0)) % k if structured else (
            rng.integers(0, k, m))
        odd = rng.choice(np.array([-1, -3, k, 2**62, -2**63], dtype=np.int64), m)
        y = np.where(rng.random(m) < extreme_rate, odd, y)
    return cls, kw, x, y


def expected_error(cls, kw, x, y):
    """The message fit must raise for this input, or None."""
    n, d = x.shape
    if d == 0:
        return "need at least one feature column"
    if len(y) != n:
        return f"targets length {len(y)} does not match {n} samples"
    if n == 0:
        return "need at least one sample"
    if kw["mode"] == "fast":
        if kw.get("criterion") == "mae":
            return "this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict"
        if kw["n_bins"] > FAST_CODE_LIMIT:
            for f in range(d):
                if f not in kw["categorical"] and np.isfinite(x[:, f]).any():
                    return (f"feature {f}: {kw['n_bins']} continuous bins exceed fast-mode "
                            "limit")
    return None


def check_tree(cls, kw, y, est, dump):
    assert dump["n_samples"][0] == len(y)  # every sample in exactly one leaf
    assert est.n_leaves() == sum(dump["is_leaf"])
    if kw["max_depth"] is not None:
        assert est.depth() <= kw["max_depth"]
    if cls in CLASSIFIERS:
        k = max(kw["n_classes"], 1)
        for is_leaf, proba, predicted in zip(dump["is_leaf"], dump["proba"],
                                             dump["predicted_class"]):
            if not is_leaf:
                continue
            assert len(proba) == kw["n_classes"]
            assert 0 <= predicted < k
            if sum(proba) > 0:
                assert abs(sum(proba) - 1.0) < 1e-9
                assert predicted == int(np.argmax(proba))  # the lowest class wins ties
            else:
                assert predicted == 0
    elif np.isfinite(y).all() and (np.abs(y) <= 1e300).all():
        leaves = np.array([v for v, is_leaf in zip(dump["value"], dump["is_leaf"]) if is_leaf])
        slack = 1e-12 * np.abs(y).max()  # a mean may round past the extremes
        assert np.isfinite(leaves).all()
        assert (leaves >= y.min() - slack).all() and (leaves <= y.max() + slack).all()


def construct_from(cls, kw, dump):
    return rebuild(cls, dump, kw.get("n_classes", 0), kw["categorical"])


@fuzz_settings(600)
@given(case=fit_cases(), data=st.data())
def test_random_fits(case, data):
    cls, kw, x, y = case
    est = construct(cls, **kw)
    xs = layouts(x)[data.draw(st.sampled_from(sorted(layouts(x))))]
    ys = layouts(y.reshape(-1, 1))[data.draw(st.sampled_from(["C", "strided", "reversed",
                                                               "unaligned"]))][:, 0]
    error = expected_error(cls, kw, x, y)
    event(f"refused: {error.split()[0]}" if error else "fitted")
    if error is not None:
        with pytest.raises(ValueError) as info:
            est.fit(xs, ys)
        assert str(info.value) == error
        assert est.depth() == 0 and est.n_leaves() == 0
        return
    est.fit(xs, ys)
    dump = est.export_tree()
    event(f"{dump['node_count']} nodes" if dump["node_count"] < 5 else "5 nodes or more")
    check_tree(cls, kw, y, est, dump)

    # The same tree from another layout, with and without worker threads.
    other = construct(cls, **{**kw, "parallel": not kw["parallel"],
                              "n_threads": data.draw(st.integers(2, 8))})
    other.fit(np.ascontiguousarray(x), np.ascontiguousarray(y))
    assert_tree_equal(other.export_tree(), dump)

    # Export, rebuild, export: identical; predictions identical in any layout.
    again = construct_from(cls, kw, dump)
    assert_tree_equal(again.export_tree(), dump)
    expected = est.predict(x).tobytes()
    assert again.predict(xs).tobytes() == expected
    wider = np.hstack([x, np.full((len(x), 2), NAN)])  # extra columns are ignored
    assert est.predict(wider).tobytes() == expected
    if cls in CLASSIFIERS:
        proba = est.predict_proba(xs)
        assert proba.shape == (len(x), max(kw["n_classes"], 1))
        assert ((proba >= 0) & (proba <= 1)).all()
        assert again.predict_proba(x).tobytes() == proba.tobytes()
    # Fewer columns than the tree uses: a panic only when a row needs one.
    narrow = x[:, :data.draw(st.integers(0, x.shape[1]))]
    try:
        est.predict(narrow)
    except PANIC:
        assert narrow.shape[1] < x.shape[1]


BAD_ARRAYS = [
    np.zeros((3, 2), dtype=np.float32), np.zeros((3, 2), dtype=np.int64),
    np.zeros((3, 2), dtype=">f8"), np.zeros((3, 2), dtype=np.longdouble),
    np.zeros((3, 2), dtype=object), np.zeros((3, 2), dtype=np.complex128),
    np.zeros(3), np.zeros((3, 2, 1)), np.float64(1.0), [[1.0, 2.0]], None, "x",
    memoryview(b"abcdefgh").cast("d"),
]


@pytest.mark.parametrize("bad", BAD_ARRAYS, ids=lambda a: type(a).__name__ + str(
    getattr(a, "dtype", "")) + str(getattr(a, "shape", "")))
def test_arrays_of_the_wrong_kind_are_type_errors(cls, bad):
    est = construct(cls, **({} if cls is _quor.RawRegressor else {"n_classes": 2}))
    y = np.zeros(3, dtype=np.float64 if cls is _quor.RawRegressor else np.int64)
    with pytest.raises(TypeError, match="^argument 'x': "):
        est.fit(bad, y)
    with pytest.raises(TypeError, match="^argument 'x': "):
        est.predict(bad)
    good_y = isinstance(bad, np.ndarray) and bad.ndim == 1 and bad.dtype == y.dtype
    with pytest.raises(TypeError, match="^argument 'y': "):
        est.fit(np.zeros((3, 2)), y.astype(np.int8) if good_y else bad)
