"""The objective classifier's metric rule on the package's path: what it predicts
against what its leaves hold, its forests' votes, and stored models."""

import numpy as np
import pytest
from sklearn.datasets import make_classification
from sklearn.metrics import f1_score

import quor
from quor import QUORClassifier, QUORForestClassifier


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
    clf = QUORClassifier(objective=objective, average=average, beta=2.0, mode=mode).fit(
        X, y, sample_weight=w)
    majority = QUORClassifier(objective=objective, average=average, beta=2.0, mode=mode,
                              objective_labels="majority").fit(X, y, sample_weight=w)
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


def test_forest_predicts_its_trees_votes_and_stored_models_keep_them(tmp_path):
    X, y = imbalanced(seed=1)
    forest = QUORForestClassifier(objective="f1", n_estimators=7, random_state=0).fit(X, y)
    votes = np.stack([t.predict(X) for t in forest.estimators_])
    expected = (votes.sum(axis=0) * 2 > len(votes)).astype(int)  # ties go to the lower class
    np.testing.assert_array_equal(forest.predict(X), expected)
    single = QUORClassifier(objective="f1").fit(X, y)
    for model in (forest, single):
        quor.save(model, tmp_path / "m.quor")
        loaded = quor.load(tmp_path / "m.quor")
        np.testing.assert_array_equal(loaded.predict(X), model.predict(X))
        assert loaded.objective_labels == "metric"
        (tmp_path / "m.quor").unlink()


def test_models_saved_before_the_option_load_with_the_majority_rule(tmp_path):
    import json

    from quor._io import _checksum

    X, y = imbalanced(n=400, share=0.3)
    old = QUORClassifier(objective="f1", objective_labels="majority").fit(X, y)
    quor.save(old, tmp_path / "m.quor")
    document = json.loads((tmp_path / "m.quor").read_text())
    del document["params"]["objective_labels"]
    assert "objective_labels" not in document["forest"]["settings"]  # absent: the majority rule
    document["checksum"] = _checksum(document)
    (tmp_path / "m.quor").write_text(json.dumps(document))
    loaded = quor.load(tmp_path / "m.quor")
    assert loaded.objective_labels == "majority"
    np.testing.assert_array_equal(loaded.predict(X), old.predict(X))
    state = old.__getstate__()
    del state["objective_labels"]
    restored = QUORClassifier.__new__(QUORClassifier)
    restored.__setstate__(state)
    assert restored.get_params()["objective_labels"] == "majority"
