"""What the estimators offer beyond fit and predict: failed refits, held-out
importances, leaf routing, categories by value, model files, the picture of a
tree, and the scikit-learn compatibility layer."""

import json
import os
import pickle
import subprocess
import sys
import types
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from sklearn.exceptions import NotFittedError

import quor
from quor import QUORClassifier, QUORRegressor, _compat, _params, export_text
from quor._quor import RawRegressor
from conftest import version_1

PYTHON_DIR = Path(__file__).resolve().parents[2] / "python"
README = Path(__file__).resolve().parents[2] / "README.md"
COLOURS = np.array(["red", "green", "blue", "black"])


def frame_data(seed=0, n=300):
    """A numeric signal, a colour category with its own effect, and missing values."""
    rng = np.random.default_rng(seed)
    x = rng.integers(-1000, 1000, size=n) / 100.0
    colour = COLOURS[rng.integers(0, 3, size=n)]
    frame = pd.DataFrame({"x": x, "colour": pd.Categorical(colour, categories=COLOURS[:3])})
    frame.loc[::17, "x"] = np.nan
    frame.loc[::13, "colour"] = np.nan
    y = np.where(np.isnan(frame["x"]), 0.0, frame["x"]) + 6.0 * (colour == "green")
    return frame, y


def fitted(Est, frame, y, **settings):
    target = y if Est is QUORRegressor else np.where(y > 3, "high", "low")
    settings.setdefault("categorical_split", "one")  # the tests here read one-category splits
    return Est(max_depth=4, **settings).fit(frame, target)


def observable(est, X):
    """Every fitted attribute and the predictions, comparable with ==."""
    out = {k: repr(v) for k, v in vars(est).items() if k.endswith("_") and not k.startswith("_")}
    out["tree"] = repr(est.export_tree())
    out["predict"] = est.predict(X).tolist()
    return out


@pytest.mark.parametrize("Est", [QUORRegressor, QUORClassifier])
@pytest.mark.parametrize("as_frame", [False, True])
def test_a_failed_refit_leaves_every_fitted_attribute_as_it_was(Est, as_frame):
    rng = np.random.default_rng(0)
    X = rng.normal(size=(200, 4))
    y = (X[:, 3] > 0).astype(int)
    data = pd.DataFrame(X, columns=list("abcd")) if as_frame else X
    est = Est().fit(data, y)
    before = observable(est, data)
    with pytest.raises(ValueError):
        est.set_params(mode="bogus").fit(data.iloc[:, :2] if as_frame else X[:, :2], y)
    with pytest.raises(ValueError):
        est.set_params(mode="strict").fit(data.iloc[:, :3] if as_frame else X[:, :3],
                                          np.where(y > 0, np.nan, 1.0))
    assert observable(est, data) == before
    with warnings.catch_warnings(), pytest.raises(ValueError, match="X has 2 features, but"):
        warnings.simplefilter("ignore", UserWarning)  # X has no feature names
        est.predict(X[:3, :2])


def test_the_package_names_the_cores_internal_error():
    raw = RawRegressor.from_tree(QUORRegressor(max_depth=1).fit(
        np.arange(40.0).reshape(20, 2), np.arange(20.0)).export_tree(), [])
    with pytest.raises(quor.PanicException):
        raw.predict(np.zeros((1, 0)))
    assert quor.PanicException.__bases__ == (BaseException,)


def test_importances_follow_their_definition_and_survive_pickling():
    frame, y = frame_data(1)
    frame["noise"] = np.random.default_rng(5).integers(0, 1000, size=len(y)) / 7.0
    frame["constant"] = 1.0
    reg = QUORRegressor(max_depth=5, categorical=["colour"], missing="right",
                        categorical_split="one", threshold_placement="edge").fit(frame, y)
    # The raw class with the tree's native settings: the same tree.
    arguments = {k: v for k, v in reg._forest_settings.items()
                 if k not in ("max_features", "max_samples", "sampling", "score_other_features",
                              "min_weight_fraction_leaf")}
    raw = RawRegressor(**arguments, parallel=False, n_threads=1)
    colour = pd.Index(reg.categories_[1]).get_indexer(frame["colour"].astype(object))
    codes = np.column_stack([frame["x"], np.where(colour < 0, np.nan, colour),
                             frame["noise"], frame["constant"]])
    raw.fit(codes, y)
    dump, scores = raw.export_tree(), raw.split_scores()
    assert repr(dump) == repr(reg.export_tree())
    expected = np.zeros(4)
    for node, is_leaf in enumerate(dump["is_leaf"]):  # the definition, node by node
        if not is_leaf:
            share = dump["n_samples"][node] / dump["n_samples"][0]
            expected[dump["feature"][node]] += max(scores[node], 0.0) * share
    np.testing.assert_allclose(reg.split_score_importances_, expected / expected.sum(), rtol=1e-12)
    for importances in (reg.feature_importances_, reg.split_score_importances_):
        assert importances[3] == 0 and importances[:2].min() > 0.05
        assert abs(importances.sum() - 1) < 1e-12
    again = pickle.loads(pickle.dumps(reg))
    np.testing.assert_array_equal(again.feature_importances_, reg.feature_importances_)
    np.testing.assert_array_equal(again.split_score_importances_, reg.split_score_importances_)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        leaf = QUORRegressor(max_depth=0).fit(frame, y)
    np.testing.assert_array_equal(leaf.feature_importances_, np.zeros(4))


@pytest.mark.parametrize("Est", [QUORRegressor, QUORClassifier])
def test_apply_and_decision_path_agree_with_predict(Est):
    frame, y = frame_data(2)
    est = fitted(Est, frame, y)
    probe = pd.concat([frame.iloc[:60], pd.DataFrame(
        {"x": [np.nan, 1.0], "colour": pd.Categorical([None, "green"])})], ignore_index=True)
    leaves = est.apply(probe)
    tree = est.tree_
    assert tree.is_leaf[leaves].all()
    if Est is QUORRegressor:
        np.testing.assert_array_equal(tree.value[leaves], est.predict(probe))
    else:
        np.testing.assert_array_equal(est.classes_[tree.predicted_class[leaves]], est.predict(probe))
    path = est.decision_path(probe)
    assert path.shape == (len(probe), tree.node_count)
    for row, leaf in enumerate(leaves):
        nodes = path.indices[path.indptr[row]:path.indptr[row + 1]]
        assert nodes[0] == 0 and nodes[-1] == leaf
        for parent, child in zip(nodes[:-1], nodes[1:]):
            assert child in (tree.children_left[parent], tree.children_right[parent])


@pytest.mark.parametrize("Est", [QUORRegressor, QUORClassifier])
def test_categories_are_encoded_by_value_and_unknown_ones_go_right(Est):
    frame, y = frame_data(3)
    est = fitted(Est, frame, y)
    assert est.is_categorical_.tolist() == [False, True]
    assert est.categories_[1].tolist() == ["blue", "green", "red"]
    assert "colour == green" in export_text(est)
    reordered = frame.assign(colour=frame["colour"].cat.reorder_categories(COLOURS[2::-1]))
    np.testing.assert_array_equal(est.predict(reordered), est.predict(frame))
    as_text = frame.assign(colour=frame["colour"].astype(object))
    np.testing.assert_array_equal(est.predict(as_text), est.predict(frame))
    # A colour never seen at fit goes right at every test of colour, a missing
    # one where the split sends missing values.
    odd = pd.DataFrame({"x": [2.0, 2.0], "colour": ["purple", None]})
    tree = est.tree_
    path = est.decision_path(odd)
    for row in range(2):
        nodes = path.indices[path.indptr[row]:path.indptr[row + 1]]
        for parent, child in zip(nodes[:-1], nodes[1:]):
            if tree.is_categorical[parent]:
                left = row == 1 and tree.missing_left[parent]
                assert child == (tree.children_left if left else tree.children_right)[parent]
    text_frame = frame.assign(colour=frame["colour"].astype(object))
    named = Est(max_depth=4, categorical=["colour"]).fit(text_frame, est.predict(frame))
    assert named.categories_[1].tolist() == ["blue", "green", "red"]
    with pytest.raises(ValueError, match="column 'colour' is neither numeric nor categorical"):
        Est().fit(text_frame, est.predict(frame))


def saved_models(frame, y):
    labels = np.where(y > 3, "high", "low")
    # One-category splits: the files of version 1 made from the first hold no sets.
    return [QUORRegressor(max_depth=3, split_style="bin", categorical_split="one").fit(frame, y),
            QUORClassifier(objective="f1", pos_label="low", mode="fast").fit(frame, labels),
            QUORClassifier(max_depth=2).fit(frame[["x"]].to_numpy(), (y > 3).astype(int) * 3)]


def test_saved_models_predict_identically_in_a_fresh_process(tmp_path):
    frame, y = frame_data(4)
    models = saved_models(frame, y)
    for i, model in enumerate(models):
        quor.save(model, tmp_path / f"{i}.quor")
    frame.to_pickle(tmp_path / "frame.pkl")
    script = (
        "import sys, pickle, pandas as pd, quor\n"
        "frame = pd.read_pickle(sys.argv[1] + '/frame.pkl')\n"
        "out = []\n"
        "for i in range(3):\n"
        "    m = quor.load(f'{sys.argv[1]}/{i}.quor')\n"
        "    X = frame if hasattr(m, 'feature_names_in_') else frame[['x']].to_numpy()\n"
        "    out.append((m.predict(X), m.get_params(), repr(m.export_tree()),\n"
        "                m.feature_importances_, getattr(m, 'classes_', None)))\n"
        "pickle.dump(out, open(sys.argv[1] + '/out.pkl', 'wb'))\n"
    )
    subprocess.run([sys.executable, "-c", script, str(tmp_path)], check=True, timeout=120,
                   env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
    results = pickle.loads((tmp_path / "out.pkl").read_bytes())
    for model, (pred, params, tree, importances, classes) in zip(models, results):
        X = frame if hasattr(model, "feature_names_in_") else frame[["x"]].to_numpy()
        np.testing.assert_array_equal(pred, model.predict(X))
        assert params == model.get_params() and tree == repr(model.export_tree())
        np.testing.assert_array_equal(importances, model.feature_importances_)
        if classes is not None:
            assert classes.dtype == model.classes_.dtype
    with pytest.raises(NotFittedError):
        quor.save(QUORRegressor(), tmp_path / "unfitted.quor")


def resigned(document):
    document = dict(document)
    document["checksum"] = quor._io._checksum(document)
    return document


def chain_tree(document):
    tree = dict(document["tree"])
    tree["children_right"] = [0 if c > 0 else c for c in tree["children_right"]]
    return resigned(dict(document, tree=tree))


@pytest.mark.parametrize("change, message", [
    (lambda d: dict(d, format="something else"), 'its "format" is not "quor model"'),
    (lambda d: resigned(dict(d, format_version=quor._io.FORMAT_VERSION + 1)),
     f"format version {quor._io.FORMAT_VERSION + 1} was written by a newer quor"),
    (lambda d: dict(d, params=dict(d["params"], max_depth=1)), "checksum does not match"),
    (lambda d: resigned(dict(d, params=dict(d["params"], max_depth=-1))), "'max_depth' parameter"),
    (lambda d: resigned(dict(d, params={"exec": "print(1)"})), "parameters are not those"),
    (lambda d: resigned(dict(d, estimator="os.system")), "unknown estimator 'os.system'"),
    (lambda d: resigned(dict(d, fitted=dict(d["fitted"], n_features_in_=1))),
     "must be a list of 1 entries"),
    (lambda d: resigned(dict(d, tree=dict(d["tree"], feature=[7 if f >= 0 else f for f in d["tree"]["feature"]]))),
     "feature 7"),
    (lambda d: resigned(dict(d, tree=dict(d["tree"], value=[0.0]))), "'value' must be a list of"),
    (chain_tree, "children_right[0] is 0, not a later node of its tree"),
])
def test_crafted_model_files_are_refused(tmp_path, change, message):
    frame, y = frame_data(5)
    path = tmp_path / "model.quor"
    quor.save(saved_models(frame, y)[0], path)
    document = version_1(saved_models(frame, y)[0], json.loads(path.read_text()))
    path.write_text(json.dumps(resigned(document)))
    assert quor.load(path).get_depth() == 3  # as quor 0.2 wrote it
    path.write_text(json.dumps(change(document)))
    with pytest.raises(ValueError, match="is not a valid quor model file") as info:
        quor.load(path)
    assert message in str(info.value)
    path.write_bytes(pickle.dumps(saved_models(frame, y)[0]))
    with pytest.raises(ValueError, match="is a pickle"):
        quor.load(path)


def test_plot_tree_draws_every_node_and_needs_matplotlib_only_when_called(tmp_path):
    from matplotlib.figure import Figure

    frame, y = frame_data(6)
    clf = fitted(QUORClassifier, frame, y)
    figure = Figure(figsize=(12, 6))
    artists = quor.plot_tree(clf, ax=figure.add_axes([0, 0, 1, 1]))
    assert len(artists) == clf.tree_.node_count
    texts = [a.get_text() for a in artists]
    assert " ".join(texts[0].split()).startswith(export_text(clf).splitlines()[0][5:])
    assert any("colour == green" in t for t in texts)
    figure.savefig(tmp_path / "tree.png")
    assert (tmp_path / "tree.png").read_bytes()[:4] == b"\x89PNG"
    shallow = quor.plot_tree(clf, max_depth=0, ax=figure.add_axes([0, 0, 1, 1]))
    assert len(shallow) == 3 and "(...)" in [a.get_text() for a in shallow]
    check = ("import sys, quor; assert 'matplotlib' not in sys.modules"
             " and 'dask' not in sys.modules")
    subprocess.run([sys.executable, "-c", check], check=True, timeout=60,
                   env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))


def test_compat_takes_the_newer_scikit_learn_apis_when_present():
    calls = []

    def check_array(array, *, ensure_all_finite=True):
        raise AssertionError

    def validate_data(estimator, X, y, *, reset, **params):
        calls.append((estimator, X, y, reset, params))
        return "checked"

    newer = types.SimpleNamespace(check_array=check_array, validate_data=validate_data)
    found, keyword = _compat._choose_api(newer)
    assert (found, keyword) == (validate_data, "ensure_all_finite")
    older = types.SimpleNamespace(check_array=lambda array, *, force_all_finite=True: array)
    assert _compat._choose_api(older) == (None, "force_all_finite")
    saved = _compat._VALIDATE_DATA, _compat._FINITE_KEYWORD
    try:
        _compat._VALIDATE_DATA, _compat._FINITE_KEYWORD = found, keyword
        assert _compat.validate_data("est", "X", reset=True, dtype="d") == "checked"
    finally:
        _compat._VALIDATE_DATA, _compat._FINITE_KEYWORD = saved
    assert calls == [("est", "X", "no_validation", True,
                      {"dtype": "d", "ensure_all_finite": "allow-nan"})]

    class Base:  # what scikit-learn 1.6 and later offer
        def __sklearn_tags__(self):
            return types.SimpleNamespace(input_tags=types.SimpleNamespace(allow_nan=False))

    class Estimator(_compat.TagsMixin, Base):
        pass

    assert Estimator().__sklearn_tags__().input_tags.allow_nan is True
    assert Estimator()._more_tags() == {"allow_nan": True}


def test_parameter_table_feeds_signatures_docs_cli_and_readme():
    for Est, task in ((QUORRegressor, "regressor"), (QUORClassifier, "classifier")):
        params = _params.params_of(task)
        assert Est().get_params() == {p.name: p.default for p in params}
        assert all(f"    {p.name} : " in Est.__doc__ for p in params)
    assert _params.markdown_table() in README.read_text()
    assert _params.forest_markdown_table() in README.read_text()
    from quor.cli import _build_parser

    help_text = " ".join(_build_parser()._subparsers._group_actions[0].choices["fit"]
                         .format_help().split())
    for p in _params.PARAMS:
        if p.cli is not None:
            assert "--" + p.name.replace("_", "-") in help_text
    with pytest.raises(TypeError, match="unexpected keyword argument 'depth'"):
        QUORRegressor(depth=3)
