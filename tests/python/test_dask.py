"""quor.dask on a LocalCluster of two single-thread worker processes started here."""

import logging
import multiprocessing
import os
import pickle
import signal
import threading
import time

import numpy as np
import pandas as pd
import pytest

da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import joblib  # noqa: E402
from sklearn.model_selection import GridSearchCV, cross_val_score  # noqa: E402

import quor  # noqa: E402
from quor import QUORClassifier, QUORForestClassifier, QUORForestRegressor  # noqa: E402
from quor.dask import DaskQUORForestClassifier, DaskQUORForestRegressor  # noqa: E402

TIMEOUT = 60  # seconds; every wait on the cluster is bounded by it


@pytest.fixture(scope="module")
def client():
    others = set(multiprocessing.active_children())  # e.g. joblib's reusable workers
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
        silence_logs=logging.ERROR)
    # Leaving the cluster's context also stops its event loop thread, and with
    # it the scheduler's periodic work, which would otherwise go on allocating
    # under later tests that count allocations.
    with cluster:
        try:
            with distributed.Client(cluster, timeout=TIMEOUT) as c:
                c.wait_for_workers(2, timeout=TIMEOUT)
                if os.environ.get("QUOR_SANITIZED"):  # the workers run the sanitized core too
                    assert all(c.run(asan_loaded).values())
                yield c
        finally:
            cluster.close(timeout=TIMEOUT)
    assert set(multiprocessing.active_children()) <= others  # the cluster's processes ended


def asan_loaded():
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)


def data(n=4000, d=5, seed=0):
    """Integer features and a noisy label that depends on the first two."""
    rng = np.random.default_rng(seed)
    x = rng.integers(0, 100, size=(n, d)).astype(np.float64)
    y = (x[:, 0] + x[:, 1] + rng.integers(0, 80, size=n) > 140).astype(np.int64)
    return x, y


def on_workers(client, x, y, chunks, workers=None):
    """X and y as dask arrays of ``chunks`` row blocks, each block's rows and targets
    on one worker (of ``workers`` if given)."""
    both = da.from_array(np.column_stack([x, y]), chunks=(len(x) // chunks, x.shape[1] + 1))
    both = client.persist(both, workers=workers)
    distributed.wait(both, timeout=TIMEOUT)
    return both[:, :-1], both[:, -1]


def transfers(client):
    """Keys each worker has received from or sent to anyone (the client included)."""
    def logs(dask_worker):
        return [k for e in list(dask_worker.transfer_incoming_log)
                + list(dask_worker.transfer_outgoing_log) for k in e["keys"]]
    return [k for keys in client.run(logs).values() for k in keys]


def test_fit_moves_no_partition_and_predicts_alike(client, tmp_path):
    x, y = data()
    X, Y = on_workers(client, x, y, 8)
    holders = {w for ws in client.who_has(X).values() for w in ws}
    assert len(holders) == 2
    before = len(transfers(client))
    model = DaskQUORForestClassifier(n_estimators=12, random_state=0).fit(X, Y)
    moved = transfers(client)[before:]
    partitions = {str(k) for k in X.__dask_keys__()[0] + Y.__dask_keys__()}
    partitions |= {str(k[0]) for k in X.__dask_keys__()}
    assert not [k for k in moved if str(k) in partitions or not str(k).startswith("quor-")]

    local = model.to_local()
    assert isinstance(local, QUORForestClassifier) and local.n_estimators_ == 12
    lazy = model.predict_proba(X)
    assert isinstance(lazy, da.Array) and lazy.chunks[0] == X.chunks[0]
    np.testing.assert_array_equal(lazy.compute(), local.predict_proba(x))
    np.testing.assert_array_equal(model.predict(X).compute(), model.predict(x))
    assert model.score(x, y) > 0.7
    again = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(again.predict_proba(x), local.predict_proba(x))
    quor.save(model, tmp_path / "model.quor")  # trees grown on both workers
    np.testing.assert_array_equal(quor.load(tmp_path / "model.quor").predict_proba(x),
                                  local.predict_proba(x))

    frame = dd.from_dask_array(X, columns=list("abcde"))
    model = DaskQUORForestRegressor(n_estimators=4, random_state=0).fit(frame, Y)
    pred = model.predict(frame)
    assert isinstance(pred, dd.Series)
    pd.testing.assert_index_equal(pred.index.compute(), frame.index.compute())
    np.testing.assert_array_equal(pred.compute().to_numpy(),
                                  model.predict(pd.DataFrame(x, columns=list("abcde"))))


def frame_data(n=1200, seed=1):
    rng = np.random.default_rng(seed)
    colour = pd.Categorical(rng.choice(["red", "green", "blue"], n),
                            categories=["red", "green", "blue", "gone"])
    frame = pd.DataFrame({"size": rng.integers(0, 50, n).astype(np.float64),
                          "colour": colour, "code": rng.integers(0, 4, n)})
    label = np.where((frame["size"] > 20) ^ (frame["colour"] == "red"), "yes", "no")
    frame.loc[rng.integers(0, n, 40), "size"] = np.nan
    return frame, pd.Series(label, name="label")


@pytest.mark.parametrize("task", ["classifier", "regressor"])
def test_forest_on_one_worker_is_the_local_forest(client, task, tmp_path):
    """All partitions on one worker: the same trees as the local forest on all rows."""
    worker = sorted(client.nthreads())[0]
    frame, label = frame_data()
    params = dict(n_estimators=6, random_state=3, categorical=["code"], max_samples=0.7)
    if task == "classifier":
        local = QUORForestClassifier(**params).fit(frame, label)
        remote = DaskQUORForestClassifier(**params)
        target = label
    else:
        target = frame["size"].fillna(0.0) * (label == "yes")
        local = QUORForestRegressor(**params).fit(frame, target)
        remote = DaskQUORForestRegressor(**params)
    X = dd.from_pandas(frame, npartitions=4)
    Y = dd.from_pandas(target, npartitions=4)
    X, Y = client.persist([X, Y], workers=[worker])
    remote.fit(X, Y)
    ours, theirs = remote.to_local()._forest.export_arrays(), local._forest.export_arrays()
    assert list(ours) == list(theirs)
    for name in ours:
        np.testing.assert_array_equal(ours[name], theirs[name], err_msg=name)
    for name in ("feature_importances_", "is_categorical_", "feature_names_in_"):
        np.testing.assert_array_equal(getattr(remote, name), getattr(local, name))
    assert [None if c is None else c.tolist() for c in remote.categories_] == \
        [None if c is None else c.tolist() for c in local.categories_]
    if task == "classifier":
        np.testing.assert_array_equal(remote.classes_, local.classes_)
        proba = remote.predict_proba(X).compute()
        np.testing.assert_array_equal(proba.to_numpy(), local.predict_proba(frame))
        assert list(proba.columns) == ["no", "yes"]
    # A model file holds the local forest, and loads as one.
    quor.save(remote, tmp_path / "remote.quor")
    loaded = quor.load(tmp_path / "remote.quor")
    assert type(loaded) is type(local)
    np.testing.assert_array_equal(loaded.predict(frame), local.predict(frame))


def test_shuffle_mixes_partitions_that_differ(client):
    """Rows sorted by the label: each worker alone sees one class until shuffled."""
    x, y = data(n=2000)
    order = np.argsort(x[:, 0], kind="stable")
    x, y = x[order], (x[order, 0] >= 50).astype(np.int64)
    first, second = sorted(client.nthreads())
    half = len(x) // 2
    parts = [on_workers(client, x[s], y[s], 2, [w])
             for s, w in ((slice(None, half), first), (slice(half, None), second))]
    X = da.concatenate([p[0] for p in parts])
    Y = da.concatenate([p[1] for p in parts])
    params = dict(n_estimators=10, random_state=0, max_features=None)
    apart = DaskQUORForestClassifier(**params).fit(X, Y)
    mixed = DaskQUORForestClassifier(**params, shuffle=True).fit(X, Y)
    assert apart.score(x, y) < 0.75  # every tree is one leaf of its worker's only class
    assert mixed.score(x, y) > 0.95


def test_bad_input_is_refused_before_any_tree_grows(client):
    x, y = data(n=800)
    X, Y = on_workers(client, x, y, 4)
    frame = dd.from_pandas(pd.DataFrame(x, columns=list("abcde")), npartitions=4)
    text = frame.assign(b=frame["b"].astype(str))
    unknown = X[X[:, 0] > 10]  # boolean indexing: row counts unknown
    bad_y = Y.astype(np.float64).copy()
    cases = [
        (X, Y.rechunk(((100, 300, 200, 200),)), "chunked unlike X"),
        (X, Y.rechunk(400), "partitions"),
        (unknown, Y, "unknown chunk sizes"),
        (text, Y, "neither numeric nor categorical"),
        (X.astype(str), Y, "must hold numbers"),
        (da.where(X == 5, np.inf, X), Y, "infinity"),
        (frame, dd.from_pandas(pd.Series(y[:700]), npartitions=4), "partitioned unlike X"),
    ]
    with distributed.get_task_stream(client) as stream:
        for bad_x, bad_target, message in cases:
            with pytest.raises(ValueError, match=message):
                DaskQUORForestClassifier(n_estimators=2).fit(bad_x, bad_target)
        with pytest.raises(ValueError, match="NaN or infinity"):
            DaskQUORForestRegressor(n_estimators=2).fit(X, da.where(bad_y > 0, np.nan, bad_y))
        with pytest.raises(TypeError, match="dask array"):
            DaskQUORForestClassifier().fit(x, y)
    assert not [t for t in stream.data if str(t["key"]).startswith("quor-grow")]


@pytest.mark.parametrize("estimator", [
    QUORClassifier(max_depth=3),
    QUORForestClassifier(n_estimators=5, random_state=0, max_depth=4),
], ids=["tree", "forest"])
def test_model_search_on_the_cluster_equals_local(client, estimator):
    x, y = data(n=300)
    grid = {"cv_folds": [3, 5], "min_samples_leaf": [1, 8]}
    local = GridSearchCV(estimator, grid, cv=3).fit(x, y)
    local_scores = cross_val_score(estimator, x, y, cv=4)
    with distributed.get_task_stream(client) as stream, joblib.parallel_backend("dask"):
        remote = GridSearchCV(estimator, grid, cv=3).fit(x, y)
        remote_scores = cross_val_score(estimator, x, y, cv=4)
    assert any("fit_and_score" in str(t["key"]) for t in stream.data)  # ran on the workers
    for key in ("mean_test_score", "std_test_score", "rank_test_score"):
        np.testing.assert_array_equal(remote.cv_results_[key], local.cv_results_[key])
    assert remote.best_params_ == local.best_params_
    np.testing.assert_array_equal(remote_scores, local_scores)


def kill_when_growing(client, pids, killed):
    """Kills the worker process that is growing trees, once one is."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline and not killed:
        for worker, keys in client.processing().items():
            if any(str(k).startswith("quor-grow") for k in keys):
                os.kill(pids[worker], signal.SIGKILL)
                killed.append(worker)
                return
        time.sleep(0.01)


def test_client_closed_during_fit_raises(client):
    x, y = data(n=8000)
    other = distributed.Client(client.scheduler.address, timeout=TIMEOUT, set_as_default=False)
    X, Y = on_workers(other, x, y, 4)

    def close_when_growing():
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            if any(str(k).startswith("quor-grow") for ks in other.processing().values()
                   for k in ks):
                other.close()
                return
            time.sleep(0.01)

    closer = threading.Thread(target=close_when_growing)
    closer.start()
    with pytest.raises(RuntimeError, match="closed"):
        DaskQUORForestClassifier(n_estimators=200, client=other).fit(X, Y)
    closer.join(TIMEOUT)


def test_worker_killed_during_fit_gives_the_same_forest(client):
    """Run last: it replaces a worker.  The killed worker's share is grown again from
    its recomputed partitions, so the forest is the undisturbed one."""
    x, y = data(n=12000)
    X, Y = on_workers(client, x, y, 8)
    params = dict(n_estimators=60, random_state=1)
    undisturbed = DaskQUORForestClassifier(**params).fit(X, Y)
    pids, killed = client.run(os.getpid), []
    killer = threading.Thread(target=kill_when_growing, args=(client, pids, killed))
    killer.start()
    result = []
    fitter = threading.Thread(
        target=lambda: result.append(DaskQUORForestClassifier(**params).fit(X, Y)))
    fitter.start()
    fitter.join(TIMEOUT)
    killer.join(TIMEOUT)
    assert not fitter.is_alive() and killed and result
    ours = result[0].to_local()._forest.export_arrays()
    theirs = undisturbed.to_local()._forest.export_arrays()
    for name in ours:
        np.testing.assert_array_equal(ours[name], theirs[name], err_msg=name)
    client.wait_for_workers(2, timeout=TIMEOUT)
