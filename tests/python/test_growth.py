"""Trees grown by fit: small data whose trees can be worked out by hand, the
growth rules that decide between a split and a leaf, and the guarantees that
hold for any data (same tree on every run, whatever the threads or layout)."""

import math

import numpy as np
import pytest

from quor import _quor
from conftest import CLASSES, CLASSIFIERS, bits, construct

NAN = float("nan")
INF = float("inf")


def fit(cls, x, y, **settings):
    est = construct(cls, **settings)
    x = np.asarray(x, dtype=np.float64)
    if x.ndim == 1:
        x = x.reshape(-1, 1)
    y = np.asarray(y, dtype=np.float64 if cls is _quor.RawRegressor else np.int64)
    est.fit(x, y)
    return est


def dump(est):
    """The export with floats as bit patterns, so that dumps compare with ==
    (NaN included)."""
    def canon(v):
        if isinstance(v, list):
            return [canon(x) for x in v]
        return bits(v)
    return {k: canon(v) for k, v in est.export_tree().items()}


def nodes(est):
    """(kind, payload) per node in pre-order: ('split', feature, lower, upper,
    category) or ('leaf', value or (class, proba), n_samples)."""
    d = est.export_tree()
    out = []
    for i in range(d["node_count"]):
        if d["is_leaf"][i]:
            payload = d["value"][i] if "value" in d else (d["predicted_class"][i], d["proba"][i])
            out.append(("leaf", payload, d["n_samples"][i]))
        elif d["is_categorical"][i]:
            out.append(("category", d["feature"][i], d["category"][i]))
        else:
            out.append(("interval", d["feature"][i], d["lower"][i], d["upper"][i]))
    return out


# Interleaved so that, without shuffling, the second of two folds holds out
# x = 3, 7, 4, 8 and trains on x = 1, 5, 2, 6 (edge 5): only there does bin 0
# separate y = 0 from y = 10, scoring 25 - 0 = 25.
X8 = [1, 5, 2, 6, 3, 7, 4, 8]
Y8 = [0, 10, 0, 10, 0, 10, 0, 10]
HAND = dict(cv_folds=2, cv_shuffle=False, n_bins=2)


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("style", ["threshold", "bin"])
def test_regression_stump_worked_by_hand(mode, style):
    est = fit(_quor.RawRegressor, X8, Y8, mode=mode, split_style=style, **HAND)
    # The node's edge is 5 (position 4 of 1..8); bin 0 is x < 5.
    assert nodes(est) == [("interval", 0, -INF, 5.0), ("leaf", 0.0, 4), ("leaf", 10.0, 4)]
    assert est.predict(np.array([[4.9], [5.0], [NAN], [-INF]])).tolist() == [0.0, 10.0, 10.0, 10.0]


def test_missing_values_go_right_and_count_in_the_parent():
    # Fold 0 holds out 1, 2 and two NaN (trained on 3, 4); fold 1 holds out 3, 4
    # and two NaN (trained on 1, 2). Both bins score 25 where they separate the
    # NaN targets; the tie goes to bin 0, stored as x < 3.
    x = [1, NAN, 2, NAN, 3, NAN, 4, NAN]
    est = fit(_quor.RawRegressor, x, Y8, max_depth=1, **HAND)
    assert nodes(est) == [("interval", 0, -INF, 3.0), ("leaf", 0.0, 2), ("leaf", 40.0 / 6.0, 6)]


@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_categorical_split_stores_the_category_code(mode):
    # Codes 7 and 42 (not their positions 0 and 1); 2.6 rounds to category 3,
    # which is not the split's category and goes right.
    x = [7, 42, 7, 42, 7, 42, 7, 42]
    est = fit(_quor.RawClassifier, x, [0, 1, 0, 1, 0, 1, 0, 1], mode=mode, categorical=[0], **HAND)
    assert nodes(est)[0] == ("category", 0, 7)
    assert est.predict(np.array([[7.4], [6.6], [42.0], [2.6], [NAN]])).tolist() == [0, 0, 1, 1, 1]
    # Undeclared at prediction time the same tree sends everything right.
    rebuilt = _quor.RawClassifier.from_tree(est.export_tree(), 2, [])
    assert rebuilt.predict(np.array([[7.0]])).tolist() == [1]


@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_class_counts_ignore_labels_past_n_classes(mode):
    # -1 counts as class 0; 5 is not counted in the probabilities but is a sample.
    est = fit(_quor.RawClassifier, [[0.0]] * 4, [-1, 0, 1, 5], mode=mode, max_depth=0)
    assert nodes(est) == [("leaf", (0, [2 / 3, 1 / 3]), 4)]
    only_large = fit(_quor.RawClassifier, [[0.0]] * 2, [7, 9], mode=mode)
    assert nodes(only_large) == [("leaf", (0, [0.0, 0.0]), 2)]


def test_leaf_mean_sums_from_negative_zero():
    est = fit(_quor.RawRegressor, [[0.0]] * 3, [-0.0, -0.0, -0.0])
    assert math.copysign(1.0, est.export_tree()["value"][0]) == -1.0


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_stopping_rules(cls, mode):
    rng = np.random.default_rng(3)
    x = rng.normal(size=(300, 3))
    y = (x[:, 0] > 0).astype(np.int64) if cls in CLASSIFIERS else 5.0 * (x[:, 0] > 0) + rng.normal(size=300) * 0.1
    grown = fit(cls, x, y, mode=mode, max_depth=3)
    assert grown.depth() == 3 or grown.n_leaves() > 1
    assert fit(cls, x, y, mode=mode, max_depth=0).n_leaves() == 1
    # min_samples_split 0, 1 and 2 act alike; so do min_samples_leaf 0 and 1.
    dumps = [dump(fit(cls, x, y, mode=mode, max_depth=3, min_samples_split=m)) for m in (0, 1, 2)]
    assert dumps[0] == dumps[1] == dumps[2]
    assert dump(fit(cls, x, y, mode=mode, max_depth=3, min_samples_leaf=0)) == dumps[0]
    # A split needs a score strictly above min_impurity_decrease; NaN blocks
    # no finite score, exactly like -inf.
    assert fit(cls, x, y, mode=mode, min_impurity_decrease=1e9).n_leaves() == 1
    assert dump(fit(cls, x, y, mode=mode, max_depth=3, min_impurity_decrease=NAN)) == \
        dump(fit(cls, x, y, mode=mode, max_depth=3, min_impurity_decrease=-INF))
    # A child below min_samples_leaf makes a leaf without trying another split.
    assert fit(cls, x, y, mode=mode, min_samples_leaf=200).n_leaves() == 1


@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_pure_node_is_a_leaf_even_with_a_negative_threshold(mode):
    x = np.arange(10.0).reshape(-1, 1)
    assert fit(_quor.RawRegressor, x, [3.0] * 10, mode=mode, min_impurity_decrease=-1.0).n_leaves() == 1
    assert fit(_quor.RawClassifier, x, [1] * 10, mode=mode, min_impurity_decrease=-1.0).n_leaves() == 1


@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_highest_bin_winning_under_threshold_makes_a_leaf(mode):
    # Only missing values differ from the rest: the winning candidate is the
    # node's last bin, which no threshold can store.
    x = [1, NAN, 1, NAN, 1, NAN, 1, NAN]
    est = fit(_quor.RawRegressor, x, Y8, **HAND, mode=mode)
    assert est.n_leaves() == 1
    # With bin membership and no edges, strict mode stores the record as a
    # split with no bounds (every finite value left, missing values right).
    # Fast mode leaves missing codes out of every fold, so there the one code
    # holds every counted sample and cannot be scored.
    est = fit(_quor.RawRegressor, x, Y8, cv_folds=2, cv_shuffle=False, mode=mode, split_style="bin", n_bins=1)
    if mode == "strict":
        assert nodes(est) == [("interval", 0, -INF, INF), ("leaf", 0.0, 4), ("leaf", 10.0, 4)]
    else:
        assert nodes(est) == [("leaf", 5.0, 8)]


@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_feature_with_only_missing_values_is_never_chosen(mode):
    x = np.column_stack([np.full(8, np.nan), X8])
    est = fit(_quor.RawRegressor, x, Y8, mode=mode, **HAND)
    assert nodes(est)[0][:2] == ("interval", 1)
    assert fit(_quor.RawRegressor, x[:, :1], Y8, mode=mode, **HAND).n_leaves() == 1


def test_fast_single_code_features():
    # One bin (n_bins 1): no threshold candidate at all, and a membership
    # candidate that no fold can score (every sample on one side).
    for style in ("threshold", "bin"):
        est = fit(_quor.RawRegressor, X8, Y8, mode="fast", split_style=style, cv_folds=2, n_bins=1)
        assert est.n_leaves() == 1


def test_fast_objective_accuracy_worked_by_hand():
    # Two folds with the same pattern: classes 0 at code 0 and 1 at code 1. The
    # children predict 0 and 1 (accuracy 1), the unsplit node predicts class 0
    # (0.5): each fold scores 0.5, so a threshold of 0.49 splits and 0.5 does not.
    x = [0, 0, 1, 1, 0, 0, 1, 1]
    y = [0, 0, 1, 1, 0, 0, 1, 1]
    args = dict(objective="accuracy", mode="fast", cv_folds=2, cv_shuffle=False, categorical=[0])
    assert fit(_quor.RawObjectiveClassifier, x, y, min_impurity_decrease=0.49, **args).n_leaves() == 2
    assert fit(_quor.RawObjectiveClassifier, x, y, min_impurity_decrease=0.5, **args).n_leaves() == 1


# --- Guarantees for any data ------------------------------------------------

def mixed_data(n=400, seed=11):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 5))
    x[rng.random(n) < 0.1, 1] = np.nan
    x[:, 3] = rng.integers(0, 6, size=n)
    signal = x[:, 0] + (x[:, 3] == 2) + np.nan_to_num(x[:, 1])
    return x, signal + rng.normal(size=n) * 0.3, np.digitize(signal, [-0.5, 0.8]).astype(np.int64)


def fit_mixed(cls, **settings):
    x, y_reg, y_cls = mixed_data()
    args = dict(max_depth=6, categorical=[3], n_bins=16, cv_folds=4)
    args.update(settings)
    if cls is not _quor.RawRegressor:
        args["n_classes"] = 3
    return fit(cls, x, y_reg if cls is _quor.RawRegressor else y_cls, **args)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_threads_do_not_change_the_tree(cls, mode):
    sequential = dump(fit_mixed(cls, mode=mode))
    assert sequential["node_count"] > 5
    # 2**40 threads asked for: a fit runs on no more threads than features.
    for threads in (2, 3, 8, 2**40):
        for min_samples in (0, 100, 10**6):
            parallel = fit_mixed(cls, mode=mode, parallel=True, n_threads=threads,
                                 parallel_min_samples=min_samples)
            assert dump(parallel) == sequential


@pytest.mark.parametrize("cls", CLASSES)
def test_same_settings_same_tree_and_seed_matters_only_when_shuffling(cls):
    a = dump(fit_mixed(cls))
    assert dump(fit_mixed(cls)) == a
    assert dump(fit_mixed(cls, cv_seed=7)) != a
    unshuffled = dump(fit_mixed(cls, cv_shuffle=False))
    assert dump(fit_mixed(cls, cv_shuffle=False, cv_seed=7)) == unshuffled


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_memory_order_of_x_does_not_matter(cls, mode):
    x, y_reg, y_cls = mixed_data()
    y = y_reg if cls is _quor.RawRegressor else y_cls
    extra = {} if cls is _quor.RawRegressor else {"n_classes": 3}
    trees = []
    for layout in (x, np.asfortranarray(x), np.repeat(x, 2, axis=1)[:, ::2], x[::-1][::-1]):
        est = construct(cls, mode=mode, categorical=[3], **extra)
        est.fit(layout, y)
        trees.append(dump(est))
    assert all(t == trees[0] for t in trees)


@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_failed_second_fit_keeps_the_first_tree(mode):
    est = fit_mixed(_quor.RawRegressor, mode=mode)
    before = dump(est)
    with pytest.raises(ValueError, match="targets length"):
        est.fit(np.zeros((5, 2)), np.zeros(4))
    assert dump(est) == before


@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_tree_as_deep_as_the_data(mode):
    # One category per sample and mixed labels: every node peels one sample
    # off, so the tree is a chain thousands of levels deep.
    n = 2500
    x = np.arange(n, dtype=np.float64).reshape(-1, 1)
    y = ((np.arange(n) * 7) % 3 == 0).astype(np.int64)
    est = fit(_quor.RawClassifier, x, y, mode=mode, max_depth=None, cv_folds=2, categorical=[0])
    assert est.depth() >= 800 and est.n_leaves() == est.depth() + 1
    assert (est.predict(x) == y).all()
    rebuilt = _quor.RawClassifier.from_tree(est.export_tree(), 2, [0])
    assert rebuilt.depth() == est.depth()


# --- Fast-mode entry ----------------------------------------------------------

def test_mae_is_refused_in_fast_mode_after_the_input_checks():
    est = construct(_quor.RawRegressor, criterion="mae", mode="fast")
    with pytest.raises(TypeError, match="argument 'y'"):
        est.fit(np.zeros((4, 1)), np.zeros(4, dtype=np.float32))
    with pytest.raises(ValueError) as err:
        est.fit(np.zeros((4, 1)), np.zeros(4))
    assert str(err.value) == "this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict"
    for criterion in ("mse", "variance"):
        construct(_quor.RawRegressor, criterion=criterion, mode="fast").fit(np.zeros((4, 1)), np.zeros(4))
    fit(_quor.RawRegressor, X8, Y8, criterion="mae")  # strict mode takes it


@pytest.mark.parametrize("n_bins, ok", [(65535, True), (65536, False)])
def test_fast_continuous_bin_limit(n_bins, ok):
    x = np.column_stack([np.zeros(4), np.arange(4.0)])
    est = construct(_quor.RawRegressor, mode="fast", n_bins=n_bins)
    if ok:
        est.fit(x, np.arange(4.0))
    else:
        with pytest.raises(ValueError) as err:
            est.fit(x, np.arange(4.0))
        assert str(err.value) == "feature 0: 65536 continuous bins exceed fast-mode limit"


@pytest.mark.parametrize("n_categories, ok", [(65535, True), (65536, False)])
def test_fast_category_limit(n_categories, ok):
    x = np.column_stack([np.zeros(n_categories), np.arange(n_categories, dtype=np.float64)])
    est = construct(_quor.RawClassifier, mode="fast", categorical=[1], max_depth=1)
    y = np.arange(n_categories) % 2
    if ok:
        est.fit(x, y)
    else:
        with pytest.raises(ValueError) as err:
            est.fit(x, y)
        assert str(err.value) == "feature 1: 65536 categories exceed fast-mode limit"
