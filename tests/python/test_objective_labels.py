"""The objective classifier's metric rule on the package's path: what it predicts
against what its leaves hold, its forests' votes, and stored models."""

import numpy as np
import pytest
from sklearn.datasets import make_classification
from sklearn.metrics import f1_score

import quor
from quor import QUORClassifier, QUORForestClassifier
from conftest import earlier


def imbalanced(n=1500, share=0.05, seed=0):
    return make_classification(n_samples=n, n_features=8, n_informative=4, weights=[1 - share],
                               random_state=seed)


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("objective, average", [("f1", "binary"), ("recall", "macro"),
                                                ("fbeta", "weighted"), ("accuracy", "binary")])
def test_leaves_predict_the_labelling_that_serves_the_metric(mode, objective, average, weighted):
    X, y = imbalanced()
    # Weighted: the leaves serve the metric on the training rows' weights.
    w = np.random.default_rng(3).integers(1, 5, len(y)).astype(float) if weighted else None
    clf = QUORClassifier(**earlier(objective=objective, average=average, beta=2.0, mode=mode,
                                   objective_splits="objective")).fit(X, y, sample_weight=w)
    majority = QUORClassifier(**earlier(objective=objective, average=average, beta=2.0, mode=mode,
                                        objective_labels="majority", objective_splits="objective")).fit(
        X, y, sample_weight=w)
    kwargs = {"sample_weight": w}
    if objective != "accuracy":
        kwargs.update(average=average, zero_division=0)
    metric = {"f1": f1_score, "accuracy": lambda a, b, sample_weight: np.average(a == b, weights=sample_weight)}.get(objective)
    if metric is None:
        from sklearn.metrics import fbeta_score, recall_score
        metric = recall_score if objective == "recall" else (
            lambda a, b, **k: fbeta_score(a, b, beta=2.0, **k))
    # On the training rows no labelling of the leaves does better than the one chosen.
    tree = clf.tree_
    leaf = clf.apply(X)
    predicted = clf.predict(X)
    best = metric(y, predicted, **kwargs)
    assert best >= metric(y, clf.classes_.take(np.argmax(clf.predict_proba(X), axis=1)), **kwargs)
    for node in np.unique(leaf):
        flipped = predicted.copy()
        flipped[leaf == node] = 1 - flipped[leaf == node]
        assert metric(y, flipped, **kwargs) <= best + 1e-12
    # predict_proba stays the leaves' class shares.
    np.testing.assert_allclose(clf.predict_proba(X).sum(axis=1), 1.0)
    if objective == "f1":
        assert majority.get_n_leaves() == 1 and clf.get_n_leaves() > 1
    assert tree.node_count >= 1


def _best_on_rows(metric, y, proba, w):
    """The best metric of any threshold on the positive probability that weights can
    give (a row of probability 0 stays negative, probabilities within 1e-9 of each
    other go together), by brute force."""
    values = np.unique(proba[:, 1])
    apart = np.r_[np.diff(values) > 1e-9, True]
    return max(metric(y, (proba[:, 1] > t).astype(int), sample_weight=w) for t in values[apart])


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("splits", ["criterion", "objective"])
def test_forest_decision_serves_the_metric_on_its_out_of_bag_rows(tmp_path, weighted, splits):
    import pickle

    from sklearn.metrics import fbeta_score

    X, y = imbalanced(seed=1)
    w = np.random.default_rng(2).integers(1, 4, len(y)).astype(float) if weighted else None
    metric = lambda a, b, sample_weight: fbeta_score(  # noqa: E731
        a, b, beta=2.0, sample_weight=sample_weight, zero_division=0)
    forest = QUORForestClassifier(objective="fbeta", beta=2.0, n_estimators=7, random_state=0,
                                  oob_score=True, max_samples=0.6, decision_folds=None,
                                  objective_splits=splits).fit(X, y, sample_weight=w)
    # Trees grown by the criterion are Gini trees; the objective is the decision's.
    assert forest._forest_kind == ("classifier" if splits == "criterion" else "objective_classifier")
    oob = forest.oob_decision_function_
    seen = ~np.isnan(oob[:, 0])
    chosen = forest.classes_.take(np.argmax(oob[seen] * forest.decision_weights_, axis=1))
    ws = None if w is None else w[seen]
    assert metric(y[seen], chosen, ws) == pytest.approx(_best_on_rows(metric, y[seen], oob[seen], ws))
    proba = forest.predict_proba(X)
    np.testing.assert_array_equal(forest.predict(X), np.argmax(proba * forest.decision_weights_, axis=1))
    # Stored models keep the decision; files and pickles made before it vote.
    quor.save(forest, tmp_path / "m.quor")
    for loaded in (quor.load(tmp_path / "m.quor"), pickle.loads(pickle.dumps(forest))):
        np.testing.assert_array_equal(loaded.decision_weights_, forest.decision_weights_)
        np.testing.assert_array_equal(loaded.predict(X), forest.predict(X))
    if splits == "objective":  # forests saved before the decision existed
        older = pickle.loads(pickle.dumps(forest))
        del older.decision_weights_
        votes = np.stack([t.predict(X) for t in forest.estimators_])
        np.testing.assert_array_equal(older.predict(X), (votes.sum(axis=0) * 2 > len(votes)).astype(int))


def test_forest_without_out_of_bag_rows_votes_and_the_multiclass_decision(tmp_path):
    from sklearn.metrics import f1_score

    X, y = imbalanced(seed=1)
    with pytest.raises(ValueError, match="out-of-bag rows, but max_samples=None"):
        QUORForestClassifier(objective="f1", n_estimators=5, max_samples=None,
                             decision_folds=None).fit(X, y)
    every_row = QUORForestClassifier(objective="f1", n_estimators=5, random_state=0,
                                     max_samples=None, objective_splits="objective",
                                     decision_folds=None).fit(X, y)
    assert every_row.decision_weights_ is None
    votes = np.stack([t.predict(X) for t in every_row.estimators_])
    np.testing.assert_array_equal(every_row.predict(X), (votes.sum(axis=0) * 2 > len(votes)).astype(int))
    quor.save(every_row, tmp_path / "m.quor")
    assert quor.load(tmp_path / "m.quor").decision_weights_ is None
    # Three classes: no single class weight of the search's grid does better on the
    # out-of-bag rows than the weights chosen.
    X3, y3 = make_classification(n_samples=900, n_features=8, n_informative=4, n_classes=3,
                                 n_clusters_per_class=1, weights=[0.6, 0.33], random_state=0)
    forest = QUORForestClassifier(objective="f1", average="macro", n_estimators=7, random_state=0,
                                  oob_score=True, max_samples=0.6, decision_folds=None).fit(X3, y3)
    oob = forest.oob_decision_function_
    seen = ~np.isnan(oob[:, 0])
    score = lambda weights: f1_score(  # noqa: E731
        y3[seen], np.argmax(oob[seen] * weights, axis=1), average="macro", zero_division=0)
    best = score(forest.decision_weights_)
    assert best >= score(np.ones(3))
    for c in range(3):
        for value in 2.0 ** np.arange(-6, 6.25, 0.25):
            trial = forest.decision_weights_.copy()
            trial[c] = value
            assert score(trial) <= best + 1e-12
    Gini = QUORForestClassifier(n_estimators=3, random_state=0).fit(X3, y3)
    assert not hasattr(Gini, "decision_weights_")


def test_models_saved_before_the_option_load_with_the_majority_rule(tmp_path):
    import json

    from quor._io import _checksum

    X, y = imbalanced(n=400, share=0.3)
    old = QUORClassifier(objective="f1", objective_labels="majority",
                         objective_splits="objective").fit(X, y)
    quor.save(old, tmp_path / "m.quor")
    document = json.loads((tmp_path / "m.quor").read_text())
    for name in ("objective_labels", "objective_splits", "decision_folds"):
        del document["params"][name]
    assert "objective_labels" not in document["forest"]["settings"]  # absent: the majority rule
    document["checksum"] = _checksum(document)
    (tmp_path / "m.quor").write_text(json.dumps(document))
    loaded = quor.load(tmp_path / "m.quor")
    assert loaded.objective_labels == "majority"
    np.testing.assert_array_equal(loaded.predict(X), old.predict(X))
    state = old.__getstate__()
    for name in ("objective_labels", "objective_splits", "decision_folds"):
        del state[name]
    restored = QUORClassifier.__new__(QUORClassifier)
    restored.__setstate__(state)
    assert restored.get_params()["objective_labels"] == "majority"
    assert restored.get_params()["objective_splits"] == "objective"
    np.testing.assert_array_equal(restored.predict(X), old.predict(X))


def _held_out(make, X, y, w, folds=3):
    """Each row's class probabilities from a model fitted on the other folds."""
    from sklearn.model_selection import StratifiedKFold

    proba = np.zeros((len(y), len(np.unique(y))))
    for train, test in StratifiedKFold(folds, shuffle=True, random_state=0).split(X, y):
        model = make().fit(X[train], y[train], sample_weight=None if w is None else w[train])
        proba[test] = model.predict_proba(X[test])
    return proba


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("model, splits, mode", [
    ("tree", "select", "strict"), ("tree", "select", "fast"), ("tree", "criterion", "fast"),
    ("forest", "criterion", "fast"), ("forest", "objective", "fast")])
def test_decision_is_the_best_threshold_on_held_out_folds(model, splits, mode, weighted):
    from sklearn.metrics import fbeta_score

    X, y = imbalanced(n=900, share=0.1, seed=4)
    w = np.random.default_rng(5).integers(1, 4, len(y)).astype(float) if weighted else None
    metric = lambda a, b, sample_weight: fbeta_score(  # noqa: E731
        a, b, beta=2.0, sample_weight=sample_weight, zero_division=0)
    objective = {"objective": "fbeta", "beta": 2.0}
    if model == "tree":
        clf = QUORClassifier(**objective, mode=mode, objective_splits=splits)
        makers = {"objective": lambda: QUORClassifier(**objective, mode=mode,
                                                      objective_splits="objective"),
                  "criterion": lambda: QUORClassifier(mode=mode)}
    else:
        settings = {"n_estimators": 5, "random_state": 0, "max_samples": 0.6}
        clf = QUORForestClassifier(**objective, **settings, objective_splits=splits)
        inner = {} if splits == "criterion" else dict(objective, objective_splits="objective",
                                                        decision_folds=None)
        makers = {splits: lambda: QUORForestClassifier(**settings, **inner)}
    clf.fit(X, y, sample_weight=w)
    if splits == "criterion":
        makers.pop("objective", None)
    held_out = {kind: _held_out(make, X, y, w) for kind, make in makers.items()}
    best = {kind: _best_on_rows(metric, y, p, w) for kind, p in held_out.items()}
    # The kind whose best threshold serves the metric best (ties: the objective's).
    kind = max(best, key=lambda k: (best[k], k == "objective"))
    if model == "tree":
        assert clf.objective_splits_ == kind
    decided = np.argmax(held_out[kind] * clf.decision_weights_, axis=1)
    assert metric(y, decided, w) == pytest.approx(best[kind])
    # What is kept is that kind's model grown on every row, deciding with the weights.
    same = makers[kind]().fit(X, y, sample_weight=w)
    np.testing.assert_array_equal(clf.predict_proba(X), same.predict_proba(X))
    np.testing.assert_array_equal(
        clf.predict(X), np.argmax(clf.predict_proba(X) * clf.decision_weights_, axis=1))
    if model == "tree":  # the leaves' classes as the tree shows them are what predict gives
        np.testing.assert_array_equal(clf.tree_.predicted_class[clf.apply(X)], clf.predict(X))


def test_select_grows_by_impurity_where_no_single_split_pays_on_the_metric(tmp_path):
    import json
    import pickle

    from quor._io import _checksum

    # Outside a sphere in ten dimensions: no one split raises F1 above predicting
    # every row positive, so splits by the objective stop at the root.
    rng = np.random.default_rng(0)
    X = rng.standard_normal((2000, 10))
    radius = (X * X).sum(axis=1)
    y = (radius > np.sort(radius)[1700]).astype(int)
    assert QUORClassifier(**earlier(objective="f1", objective_splits="objective")).fit(
        X, y).get_n_leaves() == 1
    clf = QUORClassifier(**earlier(objective="f1")).fit(X, y)
    assert clf.objective_splits_ == "criterion" and clf.get_n_leaves() > 1
    # Files and pickles keep the choice and the weights; a file that contradicts
    # its parameters, or is of a version without the choice, is refused.
    path = tmp_path / "m.quor"
    quor.save(clf, path)
    for loaded in (quor.load(path), pickle.loads(pickle.dumps(clf))):
        assert loaded.objective_splits_ == "criterion"
        np.testing.assert_array_equal(loaded.decision_weights_, clf.decision_weights_)
        np.testing.assert_array_equal(loaded.predict(X), clf.predict(X))
    document = json.loads(path.read_text())

    def crafted(change):
        changed = json.loads(json.dumps(document))
        change(changed)
        changed["checksum"] = _checksum(changed)
        path.write_text(json.dumps(changed))
        with pytest.raises(ValueError, match="is not a valid quor model file") as info:
            quor.load(path)
        return str(info.value)

    assert "the forest's settings are not" in crafted(
        lambda d: d["fitted"].update(objective_splits_="objective"))
    assert "holds its \"decision_weights_\"" in crafted(
        lambda d: d["fitted"].pop("decision_weights_"))
    assert "only for a tree with an objective" in crafted(
        lambda d: d["params"].update(objective_splits="objective"))
    assert "not part of format version 6" in crafted(lambda d: d.update(format_version=6))
    assert "must be finite" in crafted(lambda d: d["fitted"].update(decision_weights_=[0, 0]))
