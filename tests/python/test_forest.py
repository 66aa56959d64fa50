"""Forests: QUORForestClassifier, QUORForestRegressor and the native RawForest."""

import json
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from sklearn.exceptions import NotFittedError
from sklearn.utils.estimator_checks import parametrize_with_checks

import quor
from quor import _params
from quor import (
    InvalidParameterError,
    QUORClassifier,
    QUORForestClassifier,
    QUORForestRegressor,
    RawForest,
)
from conftest import ARGS, SANITIZED, assert_tree_equal
from test_golden import cases, dataset, load_golden

PYTHON_DIR = Path(__file__).resolve().parents[2] / "python"
FORESTS = [QUORForestClassifier, QUORForestRegressor]


def data(seed=0, n=300):
    """Exact inputs (integer draws): a signal, noise, a coded column with missing values."""
    rng = np.random.default_rng(seed)
    X = rng.integers(0, 40, size=(n, 4)).astype(np.float64) / 4
    X[rng.integers(0, 10, size=n) == 0, 1] = np.nan
    y = X[:, 0] * 2 + (X[:, 3] > 5) * 3 + rng.integers(0, 5, size=n)
    return X, y


def target(cls, y):
    return np.where(y > np.median(y), "high", "low") if cls is QUORForestClassifier else y


def arrays_bits(forest):
    """The fitted trees as bytes, bit for bit."""
    return {k: v.tobytes() for k, v in forest._forest.export_arrays().items()}


@pytest.mark.filterwarnings("ignore:.*no out-of-bag prediction")
@pytest.mark.parametrize("cls", FORESTS)
@pytest.mark.parametrize("mode", ["fast", "strict"])
def test_the_forest_does_not_depend_on_n_jobs(cls, mode):
    X, y = data(1)
    y = target(cls, y)
    fits = [cls(n_estimators=12, random_state=7, n_jobs=jobs, mode=mode, oob_score=True).fit(X, y)
            for jobs in (1, 2, -1)]
    for other in fits[1:]:
        assert arrays_bits(other) == arrays_bits(fits[0])
        oob = "oob_decision_function_" if cls is QUORForestClassifier else "oob_prediction_"
        assert getattr(other, oob).tobytes() == getattr(fits[0], oob).tobytes()
    predict = "predict_proba" if cls is QUORForestClassifier else "predict"
    assert getattr(fits[0], predict)(X).tobytes() == getattr(fits[1], predict)(X).tobytes()
    assert arrays_bits(cls(n_estimators=12, random_state=8, mode=mode).fit(X, y)) != \
        arrays_bits(fits[0])


@pytest.mark.parametrize("name, kind, args", cases(), ids=[c[0] for c in cases()])
def test_every_row_and_every_feature_grow_the_single_tree(name, kind, args):
    """A one-tree forest on all rows with all features is the stored single tree."""
    raw = {"reg": quor.RawRegressor, "cls": quor.RawClassifier, "obj": quor.RawObjectiveClassifier}
    settings = dict(zip(ARGS[raw[kind]], args))
    for threading in ("parallel", "n_threads", "parallel_min_samples"):
        del settings[threading]
    settings.update(max_features=0, max_samples=0)
    forest_kind = {"reg": "regressor", "cls": "classifier", "obj": "objective_classifier"}[kind]
    forest = RawForest(forest_kind, settings)
    x, y_reg, y_cls = dataset()
    forest.fit(x, y_reg if kind == "reg" else y_cls, [12345], 2, False, None)
    assert_tree_equal(forest.export_tree(0), load_golden()[name])


@pytest.mark.filterwarnings("ignore:.*no out-of-bag prediction")
@pytest.mark.parametrize("cls", FORESTS)
def test_trees_and_out_of_bag_predictions(cls):
    X, y = data(2)
    y = target(cls, y)
    forest = cls(n_estimators=15, max_samples=0.7, max_features=2, oob_score=True,
                 random_state=0).fit(X, y)
    trees = forest.estimators_
    assert len(trees) == forest.n_estimators_ == 15 and trees is forest.estimators_
    assert all(type(t) is (QUORClassifier if cls is QUORForestClassifier else quor.QUORRegressor)
               for t in trees)
    leaves = forest.apply(X)
    for i, tree in enumerate(trees):
        np.testing.assert_array_equal(leaves[:, i], tree.apply(X))
        assert tree.tree_.n_node_samples[0] == round(0.7 * len(X))
    per_tree = [t.predict_proba(X) if cls is QUORForestClassifier else t.predict(X) for t in trees]
    mean = forest.predict_proba(X) if cls is QUORForestClassifier else forest.predict(X)
    np.testing.assert_allclose(mean, np.mean(per_tree, axis=0), rtol=1e-12, atol=1e-15)
    grown = [t.feature_importances_ for t in trees if t.feature_importances_.sum() > 0]
    np.testing.assert_allclose(forest.held_out_importances_, np.mean(grown, axis=0), rtol=1e-12)
    # A one-tree forest: the rows it did not see have its own predictions.
    oob = forest.oob_decision_function_ if cls is QUORForestClassifier else forest.oob_prediction_
    assert np.isnan(oob if oob.ndim == 1 else oob[:, 0]).sum() < len(X) // 10
    one = cls(n_estimators=1, max_samples=0.7, max_features=2, oob_score=True,
              random_state=0)
    with pytest.warns(UserWarning, match="have no out-of-bag prediction"):
        one.fit(X, y)
    single = one.oob_decision_function_ if cls is QUORForestClassifier else one.oob_prediction_
    seen = ~np.isnan(single if single.ndim == 1 else single[:, 0])
    assert seen.sum() == len(X) - round(0.7 * len(X))
    own = one.predict_proba(X) if cls is QUORForestClassifier else one.predict(X)
    np.testing.assert_array_equal(single[seen], own[seen])
    score = one.score(X[seen], y[seen])
    assert one.oob_score_ == pytest.approx(score, rel=1e-12)


@pytest.mark.filterwarnings("ignore:.*no out-of-bag prediction")
@pytest.mark.parametrize("cls", FORESTS)
def test_pickles_and_model_files_predict_identically_in_a_fresh_process(cls, tmp_path):
    X, y = data(3)
    frame = pd.DataFrame({"a": X[:, 0], "b": X[:, 1],
                          "c": pd.Categorical(np.where(X[:, 2] > 4, "x", "y")), "d": X[:, 3]})
    forest = cls(n_estimators=8, random_state=1, oob_score=True).fit(frame, target(cls, y))
    assert forest.is_categorical_.tolist() == [False, False, True, False]
    pickled = pickle.dumps(forest)
    (tmp_path / "forest.pkl").write_bytes(pickled)
    quor.save(forest, tmp_path / "forest.quor")
    frame.to_pickle(tmp_path / "frame.pkl")
    script = textwrap.dedent("""
        import pickle, sys, pandas as pd, quor
        path = sys.argv[1]
        frame = pd.read_pickle(path + "/frame.pkl")
        out = []
        for model in (pickle.load(open(path + "/forest.pkl", "rb")), quor.load(path + "/forest.quor")):
            answer = model.predict_proba(frame) if hasattr(model, "classes_") else model.predict(frame)
            out.append((answer, model.apply(frame), model.feature_importances_, model.get_params(),
                        model.oob_score_, model.estimators_[3].export_tree()))
        pickle.dump(out, open(path + "/out.pkl", "wb"))
    """)
    subprocess.run([sys.executable, "-c", script, str(tmp_path)], check=True, timeout=120,
                   env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
    expected = forest.predict_proba(frame) if cls is QUORForestClassifier else forest.predict(frame)
    for answer, leaves, importances, params, oob, tree in pickle.loads(
            (tmp_path / "out.pkl").read_bytes()):
        assert answer.tobytes() == expected.tobytes()
        np.testing.assert_array_equal(leaves, forest.apply(frame))
        np.testing.assert_array_equal(importances, forest.feature_importances_)
        assert params == forest.get_params() and oob == forest.oob_score_
        assert_tree_equal(tree, forest.estimators_[3].export_tree())
    # The trees travel as arrays, not as per-node Python objects (about 66
    # bytes a node with the splits' held-out credits).
    assert len(pickled) < 80 * forest._forest.export_arrays()["is_leaf"].size + 20_000
    with pytest.raises(NotFittedError):
        quor.save(cls(), tmp_path / "unfitted.quor")


@pytest.mark.parametrize("change, message", [
    (lambda f: dict(f, kind="regressor"), "forest kind 'regressor' is not 'classifier'"),
    (lambda f: dict(f, arrays=dict(f["arrays"], feature=dict(f["arrays"]["feature"], dtype="<i8"))),
     "must have dtype <i4"),
    (lambda f: dict(f, arrays=dict(f["arrays"], lower=dict(f["arrays"]["lower"], shape=[3]))),
     "does not hold [3] values"),
    (lambda f: dict(f, settings=dict(f["settings"], n_classes=3)), "the forest setting n_classes is 3, but"),
])
def test_crafted_forest_files_are_refused(tmp_path, change, message):
    X, y = data(4)
    path = tmp_path / "forest.quor"
    quor.save(QUORForestClassifier(n_estimators=3).fit(X, y > 10), path)
    document = json.loads(path.read_text())
    assert document["format_version"] == quor._io.FORMAT_VERSION
    document["forest"] = change(document["forest"])
    document["checksum"] = quor._io._checksum(document)
    path.write_text(json.dumps(document))
    with pytest.raises(ValueError, match="is not a valid quor model file") as info:
        quor.load(path)
    assert message in str(info.value)


def test_forest_settings_are_checked_before_any_work():
    X, y = data(5)
    with pytest.raises(ValueError, match="max_features=9 is more than the 4 features"):
        QUORForestRegressor(max_features=9).fit(X, y)
    with pytest.raises(ValueError, match="oob_score=True needs rows"):
        QUORForestRegressor(max_samples=None, oob_score=True).fit(X, y)
    for bad in ({"n_jobs": 0}, {"max_features": "all"}, {"n_estimators": 0}, {"max_samples": 1.5},
                {"max_thresholds": 0}, {"max_thresholds": 2.5}):
        with pytest.raises(InvalidParameterError):
            QUORForestClassifier(**bad).fit(X, y > 10)


@pytest.mark.parametrize("cls", FORESTS)
def test_drawn_thresholds_are_fast_modes_and_models_saved_before_them_score_every_one(
        cls, tmp_path):
    X, y = data(9)
    y = target(cls, y)
    fit = lambda **kw: cls(n_estimators=5, random_state=3, **kw).fit(X, y)
    # Strict mode scores every threshold whatever the setting says; the core
    # refuses the draw there itself.
    assert arrays_bits(fit(mode="strict", max_thresholds=2)) == \
        arrays_bits(fit(mode="strict", max_thresholds=None))
    settings = dict(fit(mode="strict")._forest_settings, max_thresholds=2)
    with pytest.raises(ValueError, match='it needs mode "fast"'):
        RawForest(fit(mode="strict")._forest_kind, settings)
    drawn, every = fit(max_thresholds=2), fit(max_thresholds=None)
    assert drawn._forest_settings["max_thresholds"] == 2
    assert "max_thresholds" not in every._forest_settings
    assert arrays_bits(drawn) != arrays_bits(every)
    # Files and pickles from before the setting hold neither the parameter nor
    # the native setting: their forests scored every threshold.
    path = tmp_path / "old.quor"
    quor.save(every, path)
    document = json.loads(path.read_text())
    del document["params"]["max_thresholds"]
    document["checksum"] = quor._io._checksum(document)
    path.write_text(json.dumps(document))
    loaded = quor.load(path)
    assert loaded.max_thresholds is None and arrays_bits(loaded) == arrays_bits(every)
    state = every.__getstate__()
    del state["max_thresholds"]
    unpickled = cls.__new__(cls)
    unpickled.__setstate__(state)
    assert unpickled.max_thresholds is None and arrays_bits(unpickled) == arrays_bits(every)
    # A file whose parameter is not what its trees were grown with is refused.
    quor.save(drawn, path)
    document = json.loads(path.read_text())
    document["params"]["max_thresholds"] = 3
    document["checksum"] = quor._io._checksum(document)
    path.write_text(json.dumps(document))
    with pytest.raises(ValueError, match="the forest setting max_thresholds is 2"):
        quor.load(path)


def test_changing_the_input_during_a_fit_changes_nothing():
    """The fit copies or encodes its inputs before other code can run."""
    X, y = data(6, n=2000)
    settings = _params.core_settings(QUORForestRegressor(max_features=2, max_samples=1600),
                                     {"criterion": "mse"}, [], *X.shape)
    seeds = list(range(40))
    reference = RawForest("regressor", settings)
    reference.fit(X, y, seeds, 2, False, None)
    calls = []

    def vandal(done):
        """Runs while the trees grow, holding the interpreter lock: spoils the inputs."""
        calls.append(done)
        X[:] = np.nan
        y[:] = -1.0

    forest = RawForest("regressor", settings)
    forest.fit(X, y, seeds, 2, False, vandal)
    assert calls and np.isnan(X).all()
    assert {k: v.tobytes() for k, v in forest.export_arrays().items()} == \
        {k: v.tobytes() for k, v in reference.export_arrays().items()}


INTERRUPTED = textwrap.dedent("""
    import sys, time, numpy as np, quor
    which = sys.argv[1]
    rng = np.random.default_rng(0)
    small_X = rng.integers(0, 9, size=(50, 3)).astype(float)
    small_y = small_X[:, 0] + rng.integers(0, 3, size=50)
    model = (quor.QUORForestRegressor(n_estimators=3) if which == "forest"
             else quor.QUORRegressor(max_depth=None)).fit(small_X, small_y)
    before = model.predict(small_X)
    X = rng.integers(0, 1 << 20, size=(400_000, 20)).astype(float)
    y = X[:, 0] + X[:, 1] * 0.5 + rng.integers(0, 1 << 18, size=len(X))
    if which == "forest":
        model.set_params(n_estimators=5000, n_jobs=2, max_features=None)
    else:
        model.set_params(mode="strict", n_bins=64)
    print("fitting", flush=True)
    start = time.monotonic()
    try:
        model.fit(X, y)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
        assert (model.predict(small_X) == before).all() and model.n_features_in_ == 3
        print("unchanged", flush=True)
""")


def test_a_single_tree_fit_lets_other_python_threads_run():
    """The package's fit releases the interpreter lock while the tree grows."""
    rng = np.random.default_rng(0)
    X = rng.normal(size=(200_000, 10))
    y = (X[:, 0] + X[:, 1] * X[:, 2] + rng.normal(size=len(X)) > 0).astype(int)
    counter = {"ticks": 0}
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            counter["ticks"] += 1
            time.sleep(0.002)

    def ticks_during(work):
        counter["ticks"] = 0
        stop.clear()
        thread = threading.Thread(target=tick)
        thread.start()
        start = time.perf_counter()
        work()
        elapsed = time.perf_counter() - start
        stop.set()
        thread.join()
        return counter["ticks"], elapsed

    ticks, elapsed = ticks_during(lambda: QUORClassifier(max_depth=12).fit(X, y))
    idle, _ = ticks_during(lambda: time.sleep(elapsed))
    assert ticks >= idle / 4, (ticks, idle, elapsed)


@pytest.mark.parametrize("which", ["forest", "tree"])
def test_ctrl_c_stops_a_fit_and_leaves_the_estimator_as_it_was(which):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED, which], stdout=subprocess.PIPE,
                             text=True, env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
    try:
        assert child.stdout.readline().strip() == "fitting"
        time.sleep(3.0)  # past the input checks and the encoding, into the growth
        sent = time.monotonic()  # the same clock in both processes
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    lines = out.split("\n")
    assert lines[0].startswith("interrupted") and lines[1] == "unchanged", out
    # The growth looks for Ctrl-C every few milliseconds, not only between nodes.
    assert float(lines[0].split()[1]) - sent < (5.0 if SANITIZED else 0.5)


@parametrize_with_checks([
    QUORForestClassifier(n_estimators=5, random_state=0),
    QUORForestRegressor(n_estimators=5, random_state=0, max_features=None),
    QUORForestClassifier(n_estimators=3, mode="strict", max_samples=None, n_jobs=2),
])
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)
