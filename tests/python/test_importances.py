"""Importances measured on folds that did not choose each split: what every
estimator reports, how it is stored, and how files written before it load."""

import copy
import json
import pickle

import numpy as np
import pytest
from sklearn.base import clone

import quor
from quor import (QUORClassifier, QUORForestClassifier, QUORForestRegressor, QUORRegressor,
                  RawForest)

N_FEATURES = 5
CONSTANT = 3  # a column with one value: no candidate, never credited


def data(task, seed=0, n=300):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, N_FEATURES))
    x[:, CONSTANT] = 1.5
    x[:, 4] = rng.integers(0, 4, size=n)  # a noise column of four values
    signal = x[:, 0] + 0.5 * x[:, 1] + 0.5 * rng.normal(size=n)
    if task == "regression":
        return x, signal
    return x, np.where(signal > 0.7, 2, np.where(signal > -0.3, 1, 0))


ESTIMATORS = {
    "regressor": ("regression", lambda mode: QUORRegressor(mode=mode, max_depth=5)),
    "classifier": ("classification", lambda mode: QUORClassifier(mode=mode, max_depth=5)),
    "objective": ("classification", lambda mode: QUORClassifier(
        mode=mode, max_depth=4, objective="f1", average="macro", aggregator="median")),
    "forest_regressor": ("regression", lambda mode: QUORForestRegressor(
        mode=mode, n_estimators=4, max_depth=4, random_state=0)),
    "forest_classifier": ("classification", lambda mode: QUORForestClassifier(
        mode=mode, n_estimators=4, max_depth=4, random_state=0, aggregator="trimmed_mean")),
}


def from_credits(model):
    """The importances made from the trees' credits: a forest's held-out ones (its
    feature_importances_ are measured on the rows each tree did not draw)."""
    return getattr(model, "held_out_importances_", model.feature_importances_)


def fitted(name, mode, seed=0):
    task, make = ESTIMATORS[name]
    return make(mode).fit(*data(task, seed))


@pytest.fixture(scope="module", params=[(n, m) for n in ESTIMATORS for m in ("strict", "fast")],
                ids=lambda p: f"{p[0]}-{p[1]}")
def model(request):
    return fitted(*request.param)


def test_both_measures_sum_to_one_and_skip_what_is_never_credited(model):
    arrays = model._forest.export_arrays()
    credited = np.zeros(N_FEATURES, dtype=bool)
    credited[arrays["held_out_feature"]] = True
    assert not credited[CONSTANT]
    for importances in (model.feature_importances_, model.split_score_importances_):
        assert importances.shape == (N_FEATURES,)
        assert np.all(importances >= 0)
        assert importances.sum() == pytest.approx(1.0, abs=1e-12)
        assert importances[CONSTANT] == 0
    # Held out, only credited features earn; the informative ones earn most.
    assert np.all(from_credits(model)[~credited] == 0)
    assert from_credits(model)[0] == from_credits(model).max()


def test_importances_from_the_stored_credits(model):
    """Each tree's importances from its nodes' credits, one node at a time: a
    credit times the node's share of the root's weight, summed per feature,
    each credit clipped at 0, normalised; a forest averages its trees."""
    arrays = model._forest.export_arrays()
    offsets, counts = arrays["node_offsets"], arrays["held_out_count"]
    starts = np.concatenate([[0], np.cumsum(counts)])
    per_tree = []
    for t in range(len(offsets) - 1):
        sums = np.zeros(N_FEATURES)
        root = arrays["node_weight"][offsets[t]]
        for node in range(offsets[t], offsets[t + 1]):
            assert counts[node] == 0 or not arrays["is_leaf"][node]
            for c in range(starts[node], starts[node + 1]):
                sums[arrays["held_out_feature"][c]] += (
                    max(arrays["held_out_score"][c], 0.0) * arrays["node_weight"][node] / root)
        if sums.sum() > 0:
            per_tree.append(sums / sums.sum())
    expected = np.mean(per_tree, axis=0) if per_tree else np.zeros(N_FEATURES)
    np.testing.assert_allclose(from_credits(model), expected, rtol=1e-12, atol=1e-15)


def test_one_leaf_gives_all_zeros():
    x, _ = data("regression")
    for model in (QUORRegressor().fit(x, np.ones(len(x))),
                  QUORForestRegressor(n_estimators=2, random_state=0).fit(x, np.ones(len(x)))):
        np.testing.assert_array_equal(model.feature_importances_, np.zeros(N_FEATURES))
        np.testing.assert_array_equal(model.split_score_importances_, np.zeros(N_FEATURES))


def test_importances_survive_pickles_and_model_files(model, tmp_path):
    path = tmp_path / "model.quor"
    quor.save(model, path)
    for copy_ in (pickle.loads(pickle.dumps(model)), quor.load(path)):
        np.testing.assert_array_equal(copy_.feature_importances_, model.feature_importances_)
        np.testing.assert_array_equal(copy_.split_score_importances_,
                                      model.split_score_importances_)


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("name", ["regressor", "classifier"])
def test_credits_can_be_negative_and_files_keep_them(name, mode, tmp_path):
    """A fold's credit is the loss of its rows under the other folds' node
    prediction less under their sides' predictions: the deep splits of these
    trees lose on folds that did not choose them, and a file keeps those
    credits as they are."""
    model = fitted(name, mode)
    scores = model._forest.export_arrays()["held_out_score"]
    assert np.any(scores < 0)
    path = tmp_path / "model.quor"
    quor.save(model, path)
    np.testing.assert_array_equal(quor.load(path)._forest.export_arrays()["held_out_score"], scores)
    # Files before version 6 clipped each feature's sum, not each credit: their
    # importances load as theirs, and are not a version 6 file's.
    arrays = model._forest.export_arrays()
    by_feature = quor._tree.held_out_importances_per_tree(arrays, arrays["node_weight"],
                                                          N_FEATURES, clip="feature")[0]
    document = json.loads(path.read_text())
    del document["checksum"]
    document["fitted"]["feature_importances_"] = by_feature.tolist()
    if not np.allclose(by_feature, model.feature_importances_):
        with pytest.raises(ValueError, match="are not those of the trees"):
            quor.load(_write(tmp_path / "v6.quor", document))
    document["format_version"] = 5
    np.testing.assert_array_equal(
        quor.load(_write(tmp_path / "v5.quor", document)).feature_importances_, by_feature)


def test_forest_trees_carry_their_own_importances():
    model = fitted("forest_classifier", "fast")
    per_tree = [tree.feature_importances_ for tree in model.estimators_]
    grown = [p for p in per_tree if p.sum() > 0]
    np.testing.assert_allclose(model.held_out_importances_, np.mean(grown, axis=0), rtol=1e-12)


def _write(path, document):
    document = dict(document)
    document["checksum"] = quor._io._checksum(document)
    path.write_text(json.dumps(document))
    return path


@pytest.mark.parametrize("name", ["classifier", "forest_regressor"])
def test_files_written_before_load_with_the_importances_they_stored(tmp_path, name):
    """A version 4 file has no credits: its importances are those it stored, from the
    splits' scores, which the loader checks against its trees."""
    model = fitted(name, "strict")
    path = tmp_path / "new.quor"
    quor.save(model, path)
    document = json.loads(path.read_text())
    assert document["format_version"] == quor._io.FORMAT_VERSION
    old = copy.deepcopy(document)
    old["format_version"] = 4
    old["fitted"].pop("importances_measured_on", None)
    for key in ("held_out_count", "held_out_feature", "held_out_score"):
        del old["forest"]["arrays"][key]
    old["fitted"]["feature_importances_"] = model.split_score_importances_.tolist()
    loaded = quor.load(_write(tmp_path / "old.quor", old))
    np.testing.assert_array_equal(loaded.feature_importances_, model.split_score_importances_)
    assert "held_out_count" not in loaded._forest.export_arrays()
    # The stored importances must be those of the trees.
    old["fitted"]["feature_importances_"] = from_credits(model).tolist()
    if not np.allclose(from_credits(model), model.split_score_importances_):
        with pytest.raises(ValueError, match="feature_importances_ are not those of the trees"):
            quor.load(_write(tmp_path / "wrong.quor", old))


@pytest.mark.parametrize("change, words", [
    (lambda a: a.pop("held_out_score"), "all of"),
    (lambda a: a.update(held_out_feature=a["held_out_feature"] + N_FEATURES),
     "credits a feature outside"),
])
def test_files_with_broken_credits_are_refused(tmp_path, change, words):
    import base64

    model = fitted("classifier", "fast")
    path = tmp_path / "model.quor"
    quor.save(model, path)
    document = json.loads(path.read_text())
    stored = document["forest"]["arrays"]
    arrays = {k: np.frombuffer(base64.b64decode(v["data"]), dtype=v["dtype"]).reshape(v["shape"])
              for k, v in stored.items()}
    change(arrays)
    document["forest"]["arrays"] = {
        k: dict(stored[k], shape=list(v.shape), data=base64.b64encode(
            np.ascontiguousarray(v, dtype=stored[k]["dtype"]).tobytes()).decode())
        for k, v in arrays.items()}
    with pytest.raises(ValueError, match=words):
        quor.load(_write(tmp_path / "bad.quor", document))


def test_the_native_loader_checks_the_credits():
    model = fitted("regressor", "strict")
    arrays = model._forest.export_arrays()
    for key, change, words in [
            ("held_out_score", lambda v: np.where(np.arange(len(v)) == 0, np.inf, v), "not finite"),
            ("held_out_count", lambda v: v[:-1], "entries but is_leaf has"),
            ("held_out_feature", lambda v: v - 100, "not a feature")]:
        broken = dict(arrays, **{key: change(arrays[key]).astype(arrays[key].dtype)})
        with pytest.raises(ValueError, match=words):
            RawForest.from_arrays(model._forest_kind, model._forest_settings, broken)


def _out_of_bag_oracle(model, X, targets, w, in_bag, classify):
    """A forest's importances from the definition, one tree and one node at a time:
    each node predicts the weighted class shares (or mean) of its in-bag rows; a
    split earns the weighted squared error (Brier score) of the out-of-bag rows
    that reach it against its prediction, less theirs against its children's,
    over the tree's out-of-bag weight; the mean over the trees, clipped at 0,
    normalised."""
    k = int(targets.max()) + 1
    per_tree = []
    for t, tree in enumerate(model.estimators_):
        paths = tree.decision_path(X).toarray().astype(bool)
        left, right, feature = tree.tree_.children_left, tree.tree_.children_right, tree.tree_.feature
        bag, out = in_bag[t] & (w > 0), ~in_bag[t] & (w > 0)
        truth = np.eye(k)[targets] if classify else targets[:, None].astype(float)

        def loss(node):
            at = paths[:, node]
            prediction = np.average(truth[at & bag], axis=0, weights=w[at & bag])
            return np.sum(w[at & out] * np.sum((truth[at & out] - prediction) ** 2, axis=1))

        sums = np.zeros(N_FEATURES)
        for node in np.flatnonzero(left >= 0):
            sums[feature[node]] += (loss(node) - loss(left[node]) - loss(right[node])) / w[out].sum()
        per_tree.append(sums)
    mean = np.maximum(np.mean(per_tree, axis=0), 0)
    return mean / mean.sum()


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("name", ["forest_regressor", "forest_classifier", "forest_objective"])
@pytest.mark.parametrize("weighted", [False, True])
def test_forest_importances_are_measured_on_the_rows_each_tree_did_not_draw(name, mode, weighted):
    classify = name != "forest_regressor"
    x, y = data("classification" if classify else "regression", seed=1)
    w = np.random.default_rng(2).choice([0.0, 0.5, 1.0, 3.0], size=len(y)) if weighted else None
    if name == "forest_objective":
        model = QUORForestClassifier(mode=mode, n_estimators=5, max_depth=4, random_state=1,
                                     objective="f1", average="macro",
                                     objective_splits="objective")
    else:
        model = ESTIMATORS[name][1](mode).set_params(n_estimators=5, random_state=1)
    model.fit(x, y, sample_weight=w)
    # The same forest again, natively, for the rows each tree drew.
    targets = np.unique(y, return_inverse=True)[1] if classify else y
    raw = RawForest(model._forest_kind, model._forest_settings)
    raw.fit(x, targets, quor._forest._tree_seeds(1, 5), 1, False, None,
            **({} if w is None else {"sample_weight": w}), in_bag=True)
    assert raw.oob_prediction() is None  # the drawn rows without the out-of-bag predictions
    for key, value in raw.export_arrays().items():
        np.testing.assert_array_equal(value, model._forest.export_arrays()[key], err_msg=key)
    words = quor._out_of_bag.in_bag_words(raw.take_in_bag(), 5)
    in_bag = np.array([quor._out_of_bag.tree_in_bag(row, len(y)) for row in words])
    assert raw.take_in_bag() is None  # given once
    assert raw.take_oob_contributions() is None  # not asked for
    with_oob = RawForest(model._forest_kind, model._forest_settings)
    with_oob.fit(x, targets, quor._forest._tree_seeds(1, 5), 1, True, None,
                 **({} if w is None else {"sample_weight": w}))
    np.testing.assert_array_equal(quor._out_of_bag.in_bag_words(with_oob.take_in_bag(), 5), words)
    weights = np.ones(len(y)) if w is None else w
    assert not np.any(in_bag[:, weights == 0])
    np.testing.assert_array_equal(in_bag.sum(axis=1), model._forest_settings["max_samples"])
    expected = _out_of_bag_oracle(model, x, targets, weights, in_bag, classify)
    np.testing.assert_allclose(model.feature_importances_, expected, rtol=1e-9, atol=1e-12)
    # The core's contributions, as the estimator read them, given once.
    measured = RawForest(model._forest_kind, model._forest_settings)
    measured.fit(x, targets, quor._forest._tree_seeds(1, 5), 2, False, None,
                 **({} if w is None else {"sample_weight": w}), oob_importances=True)
    per_tree = measured.take_oob_contributions()
    assert per_tree.shape == (5, x.shape[1]) and measured.take_oob_contributions() is None
    np.testing.assert_array_equal(quor._out_of_bag.out_of_bag_importances(per_tree, x.shape[1]),
                                  model.feature_importances_)
    # A forest whose trees draw every row has no unseen rows: the trees' credits.
    every_row = clone(model).set_params(max_samples=None).fit(x, y, sample_weight=w)
    np.testing.assert_array_equal(every_row.feature_importances_,
                                  every_row.held_out_importances_)


@pytest.mark.parametrize("change, words", [
    (lambda d: d.update(format_version=5), "not part of format version 5"),
    (lambda d: d["fitted"].update(importances_measured_on="rows"), 'must be "folds" or'),
    (lambda d: d["fitted"].update(feature_importances_=[0.0, 0.0, 0.0, 1.0, 0.0]),
     "credits a feature no tree splits on"),
    (lambda d: d["fitted"].update(feature_importances_=None), "out-of-bag feature_importances_"),
])
def test_files_with_out_of_bag_importances(tmp_path, change, words):
    """They load with the importances they stored, which only the features the
    trees split on may have."""
    model = fitted("forest_classifier", "fast")
    quor.save(model, tmp_path / "model.quor")
    document = json.loads((tmp_path / "model.quor").read_text())
    assert document["fitted"]["importances_measured_on"] == "out_of_bag"
    np.testing.assert_array_equal(quor.load(tmp_path / "model.quor").feature_importances_,
                                  model.feature_importances_)
    del document["checksum"]
    change(document)
    with pytest.raises(ValueError, match=words):
        quor.load(_write(tmp_path / "changed.quor", document))


def test_a_forest_from_an_earlier_file_keeps_its_importances_through_pickles(tmp_path):
    """A version 5 forest's importances clip each feature's sum; loaded and then
    pickled, the forest keeps them rather than computing them by today's rule."""
    model = QUORForestRegressor(n_estimators=4, max_depth=6, random_state=0,
                                max_samples=None).fit(*data("regression"))
    arrays = model._forest.export_arrays()
    earlier = quor._estimators.mean_importances(quor._tree.held_out_importances_per_tree(
        arrays, arrays["node_weight"], N_FEATURES, clip="feature"), N_FEATURES)
    assert not np.allclose(earlier, model.feature_importances_)
    quor.save(model, tmp_path / "model.quor")
    document = json.loads((tmp_path / "model.quor").read_text())
    del document["checksum"]
    document["format_version"] = 5
    document["fitted"].pop("importances_measured_on")
    document["fitted"]["feature_importances_"] = earlier.tolist()
    loaded = quor.load(_write(tmp_path / "v5.quor", document))
    for copy_ in (loaded, pickle.loads(pickle.dumps(loaded))):
        np.testing.assert_array_equal(copy_.feature_importances_, earlier)
