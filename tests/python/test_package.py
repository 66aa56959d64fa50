"""The scikit-learn estimators QUORRegressor and QUORClassifier."""

import inspect
import pickle
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone
from sklearn.datasets import load_breast_cancer, load_iris
from sklearn.exceptions import NotFittedError
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

from conftest import earlier
from quor import (
    InvalidParameterError,
    QUORClassifier,
    QUORRegressor,
    RawClassifier,
    RawObjectiveClassifier,
    RawRegressor,
    Tree,
)

PYTHON_DIR = Path(__file__).resolve().parents[2] / "python"
NAN = float("nan")


def make_data(seed=0, n=120):
    """Three features: a signal, noise, and an integer code with an effect of its own."""
    rng = np.random.default_rng(seed)
    X = np.column_stack([rng.normal(size=n), rng.normal(size=n), rng.integers(0, 4, size=n)])
    y = 2.0 * X[:, 0] + 1.5 * (X[:, 2] == 2) + rng.normal(scale=0.3, size=n)
    return X, y


def binary_labels(y):
    return (y > np.quantile(y, 0.7)).astype(np.int64)


def same_tree(a, b):
    """Dumps equal key for key; floats by their exact repr, so NaN equals NaN."""
    return repr(a) == repr(b)


def core_params(est):
    """The settings the estimator hands to the core, defaults included."""
    params = est.get_params()
    for name in ("objective", "average", "pos_label", "beta", "objective_labels", "categorical", "class_weight",
                 "min_weight_fraction_leaf", "missing", "categorical_split", "objective_splits",
                 "threshold_placement",
                 "decision_folds"):
        params.pop(name, None)
    if params.get("criterion", "") is None:
        del params["criterion"]
    return params


# scikit-learn 1.6 and later take the checks expected to fail here, earlier
# versions from the estimator's tags.
_EXPECTED_FAILURES = (
    {"expected_failed_checks": lambda est: est._more_tags().get("_xfail_checks", {})}
    if "expected_failed_checks" in inspect.signature(parametrize_with_checks).parameters
    else {})


@parametrize_with_checks(
    [
        QUORRegressor(),
        QUORClassifier(),
        QUORRegressor(mode="fast", split_style="bin", aggregator="trimmed_mean", n_bins=8,
                      cv_folds=5),
        QUORClassifier(objective="f1", average="macro"),
        # No categorical variant: a numeric categorical column holds integer
        # codes, and the checks' random floats are refused as codes.
        QUORClassifier(aggregator="mean_minus_lambda_std"),
    ],
    **_EXPECTED_FAILURES,
)
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


@pytest.mark.parametrize(
    "overrides",
    [
        {},
        {"mode": "fast"},
        {"split_style": "bin", "n_bins": 5, "max_depth": None},
        {"aggregator": "median", "cv_folds": 3, "cv_shuffle": False},
        {"aggregator": "signal_to_noise", "agg_eps": 0.5, "min_samples_leaf": 4},
        {"aggregator": "trimmed_mean", "agg_frac": 0.4, "cv_folds": 7, "cv_seed": 3},
        {"aggregator": "mean_minus_lambda_std", "agg_lambda": 0.25, "min_impurity_decrease": 0.01},
    ],
)
@pytest.mark.parametrize("kind", ["regressor", "classifier", "objective"])
def test_fits_the_same_tree_as_the_core_given_the_same_settings(kind, overrides):
    X, y = make_data(1)
    if kind == "regressor":
        criterion = "mse" if overrides.get("mode") == "fast" else "mae"
        est = QUORRegressor(**earlier(**overrides, criterion=criterion, categorical_split="one"))
        raw = RawRegressor(**core_params(est), categorical=[2])
        target = y
    else:
        # The majority rule is the raw class's own, and its splits the objective's.
        extra = ({"objective": "recall", "pos_label": 0, "objective_labels": "majority",
                  "objective_splits": "objective"}
                 if kind == "objective" else {})
        est = QUORClassifier(**earlier(**overrides, **extra, criterion="entropy",
                                       categorical_split="one"))
        target = binary_labels(y)
        if kind == "objective":
            params = {k: v for k, v in core_params(est).items() if k != "criterion"}
            raw = RawObjectiveClassifier(
                n_classes=2, objective="recall", average="binary", pos_label=0, beta=1.0,
                **params, categorical=[2],
            )
        else:
            raw = RawClassifier(n_classes=2, **core_params(est), categorical=[2])
    est.set_params(categorical=[2]).fit(X.tolist(), target.tolist())
    raw.fit(X, target)
    assert same_tree(est.export_tree(), raw.export_tree())
    assert est.get_depth() == raw.depth() and est.get_n_leaves() == raw.n_leaves()


@pytest.mark.parametrize("Est", [QUORRegressor, QUORClassifier])
def test_input_layouts_and_dtypes_give_the_same_predictions(Est):
    X, y = make_data(2)
    y = y if Est is QUORRegressor else binary_labels(y)
    expected = Est().fit(X, y).predict(X)
    for variant in (X.tolist(), np.asfortranarray(X), X[:, ::-1][:, ::-1], X.astype(np.float32)):
        np.testing.assert_array_equal(Est().fit(variant, y).predict(variant), expected)
    Xi = np.round(X * 10).astype(np.int32)
    np.testing.assert_array_equal(
        Est().fit(Xi, y).predict(Xi), Est().fit(Xi.astype(np.float64), y).predict(Xi)
    )


@pytest.mark.parametrize(
    "labels",
    [
        np.array(["no", "yes", "maybe"]),
        np.array([-7, -1, 3]),
        np.array([2.0, -1.0, 10.0]),
        np.array(["b", "a", "c"], dtype=object),
    ],
    ids=["str", "negative-int", "float", "object"],
)
def test_class_labels_round_trip(labels):
    X, y = make_data(3)
    codes = np.digitize(y, np.quantile(y, [1 / 3, 2 / 3]))
    y_labels = labels[codes]
    clf = QUORClassifier(max_depth=4).fit(X, y_labels)
    np.testing.assert_array_equal(clf.classes_, np.sort(labels))
    pred = clf.predict(X)
    assert pred.dtype == clf.classes_.dtype and set(pred) <= set(labels)
    assert np.mean(pred == y_labels) > 0.7  # chance is 1/3; a wrong label mapping scores far less
    proba = clf.predict_proba(X)
    np.testing.assert_array_equal(clf.classes_[proba.argmax(axis=1)], pred)
    # Each column of predict_proba belongs to the class at the same position of classes_.
    for k, label in enumerate(clf.classes_):
        assert proba[y_labels == label, k].mean() > proba[y_labels != label, k].mean()


def test_pos_label_is_given_in_the_users_labels_and_defaults_to_the_greater_one():
    X, y = make_data(4)
    codes = binary_labels(y)
    labels = np.array(["neg", "pos"])[codes]
    X = X[:, :2]

    def raw_dump(pos_index):
        raw = RawObjectiveClassifier(
            n_classes=2, objective="precision", average="binary", pos_label=pos_index, beta=1.0,
            **core_params(QUORClassifier(**earlier(criterion=None))), categorical=[],
        )
        raw.fit(X, codes)
        return raw.export_tree()

    assert not same_tree(raw_dump(0), raw_dump(1))  # the choice of positive class matters on this data
    for pos_label, index in [("neg", 0), ("pos", 1), (None, 1)]:
        clf = QUORClassifier(**earlier(objective="precision", pos_label=pos_label,
                                       objective_labels="majority")).fit(X, labels)
        assert same_tree(clf.export_tree(), raw_dump(index)), pos_label
    signed = QUORClassifier(**earlier(objective="precision", objective_labels="majority")).fit(
        X, codes * 2 - 1)
    assert same_tree(signed.export_tree(), raw_dump(1))  # {-1, 1}: 1 is positive
    with pytest.raises(ValueError, match="pos_label='maybe' is not a valid label"):
        QUORClassifier(objective="precision", pos_label="maybe").fit(X, labels)
    three = np.array(["a", "b", "c"])[np.arange(len(labels)) % 3]
    with pytest.raises(ValueError, match="needs pos_label"):
        QUORClassifier(objective="f1").fit(X, three)
    QUORClassifier(objective="f1", pos_label="c").fit(X, three)
    QUORClassifier(objective="f1", average="weighted").fit(X, three)


@pytest.mark.parametrize(
    "categorical, as_frame",
    [([2], False), (2, False), ([False, False, True], False), (["code"], True), ("code", True),
     ([2, 2], True)],
)
def test_categorical_by_index_name_or_mask(categorical, as_frame):
    X, y = make_data(5)
    data = pd.DataFrame(X, columns=["signal", "noise", "code"]) if as_frame else X
    reg = QUORRegressor(**earlier(categorical=categorical, max_depth=3,
                                  categorical_split="one")).fit(data, y)
    np.testing.assert_array_equal(reg.is_categorical_, [False, False, True])
    raw = RawRegressor(**core_params(reg), categorical=[2])
    raw.fit(X, y)
    assert same_tree(reg.export_tree(), raw.export_tree())
    assert reg.tree_.is_categorical.any()  # the code column's own effect is found as a category


@pytest.mark.parametrize(
    "categorical, as_frame, error, message",
    [
        ([3], False, ValueError, r"indices must be in \[0, 2\], got \[3\]"),
        ([-1], False, ValueError, r"got \[-1\]"),
        (["code"], False, ValueError, "X has no feature names"),
        (["colour"], True, ValueError, r"unknown features: \['colour'\]"),
        ([True, False], False, ValueError, "boolean mask has 2 entries, but X has 3 features"),
        ([0, "code"], True, TypeError, "only column indices, only feature names or only booleans"),
        ([1.0], False, TypeError, "only column indices"),
        (1.5, False, TypeError, "categorical must be None or a list"),
    ],
)
def test_bad_categorical_is_refused_clearly(categorical, as_frame, error, message):
    X, y = make_data(6)
    data = pd.DataFrame(X, columns=["signal", "noise", "code"]) if as_frame else X
    with pytest.raises(error, match=message):
        QUORRegressor(categorical=categorical).fit(data, y)


def test_dataframe_feature_names_are_kept_and_checked():
    X, y = make_data(7)
    frame = pd.DataFrame(X, columns=["signal", "noise", "code"])
    reg = QUORRegressor(max_depth=2).fit(frame, y)
    np.testing.assert_array_equal(reg.feature_names_in_, ["signal", "noise", "code"])
    with pytest.warns(UserWarning, match="does not have valid feature names"):
        np.testing.assert_array_equal(reg.predict(frame), reg.predict(X))
    with pytest.raises(ValueError, match="feature names"):
        reg.predict(frame[["noise", "signal", "code"]])


@pytest.mark.parametrize("Est", [QUORRegressor, QUORClassifier])
def test_missing_values_are_allowed_in_X_and_go_right(Est):
    X, y = make_data(8)
    y = y if Est is QUORRegressor else binary_labels(y)
    X = X[:, :1].copy()
    X[::10, 0] = NAN
    est = Est(max_depth=1, missing="right").fit(X, y)
    assert est.tree_.node_count == 3 and np.isneginf(est.tree_.lower[0])
    right_value = est.predict([[est.tree_.upper[0]]])  # x == threshold fails x < t
    np.testing.assert_array_equal(est.predict([[NAN], [NAN]]), np.repeat(right_value, 2))
    assert est.tree_.n_node_samples[2] >= np.sum(np.isnan(X[:, 0]))
    with pytest.raises(ValueError, match="infinity"):
        Est().fit(np.where(np.isnan(X), np.inf, X), y)


@pytest.mark.parametrize("Est", [QUORRegressor, QUORClassifier])
@pytest.mark.parametrize("bad", [NAN, np.inf])
def test_non_finite_targets_are_refused(Est, bad):
    X, y = make_data(9)
    y = y.astype(np.float64)
    y[5] = bad
    with pytest.raises(ValueError, match="Input y contains"):
        Est().fit(X, y)


@pytest.mark.parametrize("Est", [QUORRegressor, QUORClassifier])
def test_predict_refuses_another_number_of_features(Est):
    X, y = make_data(10)
    est = Est().fit(X, binary_labels(y))
    for other in (X[:, :2], np.column_stack([X, X[:, :1]])):
        with pytest.raises(ValueError, match="X has .* features, but .* is expecting 3"):
            est.predict(other)


BAD_SETTINGS = [
    # (estimator, settings, words the message must hold)
    (QUORRegressor, {"mode": "turbo"}, "'mode' parameter of QUORRegressor must be one of 'strict', 'fast'. Got 'turbo'"),
    (QUORRegressor, {"criterion": "MSE"}, "'criterion' parameter"),
    (QUORRegressor, {"aggregator": "max"}, "'aggregator' parameter"),
    (QUORClassifier, {"average": "bogus"}, "'average' parameter"),  # checked without an objective
    (QUORClassifier, {"objective": "auc"}, "'objective' parameter"),
    (QUORRegressor, {"n_bins": 2.0}, "'n_bins' parameter of QUORRegressor must be an int"),
    (QUORClassifier, {"cv_shuffle": 1}, "'cv_shuffle' parameter of QUORClassifier must be a bool"),
    (QUORRegressor, {"max_depth": -3}, "'max_depth' parameter"),
    (QUORClassifier, {"max_depth": True}, "must be an int in the range [0, 2**64 - 1] or None. Got True"),
    (QUORClassifier, {"cv_seed": 2**64}, "'cv_seed' parameter"),
    (QUORClassifier, {"beta": -1}, "'beta' parameter of QUORClassifier must be a finite number in the range [0, inf)"),
    (QUORClassifier, {"beta": NAN}, "'beta' parameter"),
    (QUORClassifier, {"beta": np.inf}, "'beta' parameter"),
    (QUORRegressor, {"agg_eps": -1}, "'agg_eps' parameter"),
    (QUORRegressor, {"agg_lambda": np.inf}, "'agg_lambda' parameter"),
    (QUORRegressor, {"agg_frac": -0.5}, "'agg_frac' parameter of QUORRegressor must be a finite number in the range [0, 0.5]"),
    (QUORRegressor, {"agg_frac": NAN}, "'agg_frac' parameter"),
    (QUORRegressor, {"min_impurity_decrease": NAN}, "'min_impurity_decrease' parameter"),
    (QUORRegressor, {"min_samples_leaf": 1.0}, "a float in the range (0, 1)"),
    (QUORRegressor, {"min_samples_split": 1.5}, "a float in the range (0, 1]"),
    (QUORRegressor, {"n_threads": 0.5}, "'n_threads' parameter"),
    (QUORRegressor, {"mode": "fast", "criterion": "mae"}, 'criterion="mae" is not available with mode="fast"'),
    (QUORClassifier, {"mode": "fast", "n_bins": 70000}, 'n_bins=70000 is above 65535, the most bins mode="fast" can encode'),
    (QUORClassifier, {"criterion": None}, "criterion=None needs an objective"),
]


@pytest.mark.parametrize("Est, params, message", BAD_SETTINGS)
def test_hyperparameters_are_checked_before_any_work(Est, params, message):
    # X that no check would accept shows that the settings are checked first.
    with pytest.raises(InvalidParameterError) as info:
        Est(**params).fit("not data", None)
    assert message in str(info.value)
    assert isinstance(info.value, ValueError) and isinstance(info.value, TypeError)


def test_float_sample_counts_are_fractions_and_minus_one_thread_is_every_core():
    X, y = make_data(11, n=200)
    as_fraction = QUORRegressor(min_samples_leaf=0.1, min_samples_split=0.25, max_depth=None)
    as_count = QUORRegressor(min_samples_leaf=20, min_samples_split=50, max_depth=None)
    assert same_tree(as_fraction.fit(X, y).export_tree(), as_count.fit(X, y).export_tree())
    threaded = QUORRegressor(parallel=True, n_threads=-1).fit(X, y)
    assert same_tree(threaded.export_tree(), QUORRegressor().fit(X, y).export_tree())
    # pos_label is checked against the labels even while no objective uses it.
    with pytest.raises(ValueError, match="pos_label=7 is not a valid label"):
        QUORClassifier(pos_label=7).fit(X, binary_labels(y))


def test_a_single_leaf_that_no_fold_could_score_warns():
    X, y = load_iris(return_X_y=True)
    with pytest.warns(UserWarning, match=r"single leaf: no candidate split of the root could "
                      r"be scored.*150 folds of about 1 of the 150 samples"):
        assert QUORClassifier(cv_folds=150).fit(X, y).get_n_leaves() == 1
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        # One leaf for other reasons: too deep a limit, one class, a threshold no split passes.
        QUORClassifier(max_depth=0).fit(X, y)
        QUORClassifier().fit(X, np.zeros(len(y)))
        QUORClassifier(min_impurity_decrease=10.0).fit(X, y)
        QUORClassifier(min_samples_split=151).fit(X, y)
        assert QUORClassifier(cv_folds=30).fit(X, y).get_n_leaves() > 1


def test_sample_weight_is_not_accepted_silently():
    """Weights change the tree (their meaning is tested in test_weights)."""
    X, y = make_data(12)
    heavy = np.where(X[:, 1] > 0, 50.0, 1.0)
    assert not same_tree(QUORRegressor().fit(X, y, sample_weight=heavy).export_tree(),
                         QUORRegressor().fit(X, y).export_tree())


def test_failed_refit_keeps_the_previous_model():
    X, y = make_data(13)
    reg = QUORRegressor(max_depth=2).fit(X, y)
    before = reg.predict(X)
    with pytest.raises(ValueError, match="mae"):
        reg.set_params(mode="fast", criterion="mae").fit(X, y)
    np.testing.assert_array_equal(reg.predict(X), before)


def test_tree_view_agrees_with_the_core():
    X, y = make_data(14)
    clf = QUORClassifier(max_depth=None, min_samples_leaf=3).fit(X, binary_labels(y))
    tree = clf.tree_
    assert isinstance(tree, Tree)
    assert (tree.max_depth, tree.n_leaves) == (clf.get_depth(), clf.get_n_leaves())
    assert tree.n_node_samples[0] == len(y)
    leaves = tree.is_leaf
    assert tree.n_node_samples[leaves].sum() == len(y)
    np.testing.assert_allclose(tree.value[leaves].sum(axis=1), 1.0)
    splits = ~leaves
    np.testing.assert_array_equal(
        tree.n_node_samples[splits],
        tree.n_node_samples[tree.children_left[splits]] + tree.n_node_samples[tree.children_right[splits]],
    )
    assert clf.n_outputs_ == 1 and clf.n_classes_ == 2


def test_corrupt_tree_dumps_are_refused():
    X, y = make_data(15)
    dump = QUORRegressor(max_depth=2).fit(X, y).export_tree()
    looped = dict(dump, children_right=[0 if c > 0 else c for c in dump["children_right"]])
    with pytest.raises(ValueError, match="corrupt"):
        Tree(looped)


@pytest.mark.parametrize("Est", [QUORRegressor, QUORClassifier])
def test_unfitted_estimator_pickles_and_refuses_to_predict(Est):
    est = pickle.loads(pickle.dumps(Est(max_depth=3, categorical=[1])))
    assert est.get_params() == Est(max_depth=3, categorical=[1]).get_params()
    with pytest.raises(NotFittedError):
        est.predict([[0.0, 1.0]])
    with pytest.raises(NotFittedError):
        est.get_depth()


def test_pickled_models_predict_identically_in_a_fresh_process(tmp_path):
    X, y = make_data(16)
    X[::7, 1] = NAN
    frame = pd.DataFrame(X, columns=["a", "b", "c"])
    labels = np.array(["low", "high"])[binary_labels(y)]
    models = [
        QUORRegressor(categorical=["c"], split_style="bin").fit(frame, y),
        QUORClassifier(categorical=[2], mode="fast").fit(X, labels),
        QUORClassifier(objective="fbeta", beta=2.0, pos_label="low", max_depth=None).fit(X, labels),
    ]
    path = tmp_path / "models.pkl"
    path.write_bytes(pickle.dumps((models, frame)))
    script = (
        "import pickle, sys, numpy as np\n"
        "models, frame = pickle.load(open(sys.argv[1], 'rb'))\n"
        "out = []\n"
        "for m in models:\n"
        "    out.append((m.predict(frame if hasattr(m, 'feature_names_in_') else frame.to_numpy()),\n"
        "                m.predict_proba(frame.to_numpy()) if hasattr(m, 'classes_') else None,\n"
        "                m.export_tree(), m.get_params(), m.get_depth()))\n"
        "pickle.dump(out, open(sys.argv[2], 'wb'))\n"
    )
    result_path = tmp_path / "out.pkl"
    subprocess.run(
        [sys.executable, "-c", script, str(path), str(result_path)],
        check=True, env={"PYTHONPATH": str(PYTHON_DIR)}, timeout=120,
    )
    results = pickle.loads(result_path.read_bytes())
    for model, (pred, proba, dump, params, depth) in zip(models, results):
        data = frame if hasattr(model, "feature_names_in_") else X
        np.testing.assert_array_equal(pred, model.predict(data))
        if proba is not None:
            np.testing.assert_array_equal(proba, model.predict_proba(X))
        assert same_tree(dump, model.export_tree())
        assert params == model.get_params() and depth == model.get_depth()


def test_unpickled_model_refits_with_its_own_settings():
    X, y = make_data(17)
    reg = QUORRegressor(aggregator="median", n_bins=4, max_depth=3).fit(X, y)
    again = pickle.loads(pickle.dumps(reg)).fit(X[:60], y[:60])
    assert same_tree(again.export_tree(), clone(reg).fit(X[:60], y[:60]).export_tree())


def test_works_in_pipeline_grid_search_and_cross_val_score_with_two_jobs():
    X, y = load_breast_cancer(return_X_y=True)
    X, y = X[::2], y[::2]
    pipe = make_pipeline(StandardScaler(), QUORClassifier())
    grid = {"quorclassifier__max_depth": [1, 3], "quorclassifier__aggregator": ["mean", "median"]}
    parallel = GridSearchCV(pipe, grid, cv=3, n_jobs=2).fit(X, y)
    serial = GridSearchCV(pipe, grid, cv=3, n_jobs=1).fit(X, y)
    np.testing.assert_array_equal(
        parallel.cv_results_["mean_test_score"], serial.cv_results_["mean_test_score"]
    )
    assert parallel.best_params_ == serial.best_params_
    assert parallel.best_score_ > 0.88
    scores = cross_val_score(QUORRegressor(max_depth=3), X, y.astype(float), cv=3, n_jobs=2)
    np.testing.assert_array_equal(
        scores, cross_val_score(QUORRegressor(max_depth=3), X, y.astype(float), cv=3)
    )
    assert scores.mean() > 0.4
