"""quor.dask on a LocalCluster of two single-thread worker processes started here."""

import json
import logging
import multiprocessing
import os
import pickle
import subprocess
import sys
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


def sent(client, since=None):
    """(key, bytes) that each worker has sent to anyone (the client included), after
    the first ``since[worker]`` of its log entries."""
    def log(dask_worker):
        return [list(e["keys"].items()) for e in list(dask_worker.transfer_outgoing_log)]
    logs = client.run(log)
    if since is None:
        return {w: len(entries) for w, entries in logs.items()}
    return [(str(k), n) for w, entries in logs.items() for e in entries[since.get(w, 0):]
            for k, n in e]


def test_fit_moves_no_partition_of_x_and_predicts_alike(client, tmp_path):
    """X and y persisted apart, where the scheduler chose: only columns of y travel."""
    x, y = data()
    X = client.persist(da.from_array(x, chunks=(500, 5)))
    Y = client.persist(da.from_array(y, chunks=500))
    distributed.wait([X, Y], timeout=TIMEOUT)
    before = sent(client)
    # One worker busy with other work: the tasks that read its partitions wait for it.
    busy = client.submit(time.sleep, 1.0, workers=sorted(client.nthreads())[:1], pure=False)
    model = DaskQUORForestClassifier(n_estimators=12, random_state=0, min_block_rows=500)
    model.fit(X, Y)
    moved = sent(client, before)
    del busy
    x_keys = {str(k[0]) for k in X.__dask_keys__()}
    y_keys = {str(k) for k in Y.__dask_keys__()}
    assert not [k for k, _ in moved if k in x_keys]
    assert sum(n for k, n in moved if k in y_keys) <= Y.nbytes
    assert all(k in y_keys or k.startswith("quor-") for k, _ in moved)

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


@pytest.mark.parametrize("seed", range(20))
def test_blocks_and_trees_follow_the_rows(seed):
    """Blocks: consecutive, each just reaching min_rows (the last may hold more);
    trees: each block's share of them rounded up or down, in order."""
    from quor.dask import _blocks, _dealt_trees

    rng = np.random.default_rng(seed)
    rows = rng.choice([0, 1, 40, 99, 100, 250], size=rng.integers(1, 12)).tolist()
    if not sum(rows):
        rows[0] = 1
    min_rows, n_trees = int(rng.choice([1, 40, 100, 140, 200, 500])), int(rng.integers(1, 40))
    blocks = _blocks(rows, min_rows)
    assert sum(blocks, []) == list(range(len(rows)))
    held = [sum(rows[i] for i in block) for block in blocks]
    assert all(n >= min_rows for n in held) or len(blocks) == 1
    assert all(n - rows[block[-1]] < min_rows for n, block in zip(held[:-1], blocks))
    trees = _dealt_trees(n_trees, held)
    assert [a for a, _ in trees[1:]] == [b for _, b in trees[:-1]]
    assert trees[0][0] == 0 and trees[-1][1] == n_trees
    share = n_trees * np.array(held) / sum(held)
    counts = np.array([b - a for a, b in trees])
    assert np.all(counts >= np.floor(share)) and np.all(counts <= np.ceil(share))


def tree_dumps(forest):
    return [repr(tree.export_tree()) for tree in forest.estimators_]  # repr: exact floats


@pytest.mark.parametrize("min_block_rows", [10_000, 300], ids=["one block", "four blocks"])
@pytest.mark.parametrize("task", ["classifier", "regressor"])
def test_each_tree_is_the_local_forests_tree_on_its_block(client, task, min_block_rows, tmp_path):
    """Tree i is tree i of the local forest fitted on one block; with fewer rows than
    two blocks' worth, the forest is the local forest."""
    frame, label = frame_data()
    params = dict(n_estimators=6, random_state=3, categorical=["code"], max_samples=0.7,
                  min_samples_leaf=0.02)
    if task == "classifier":
        local_class, remote = QUORForestClassifier, DaskQUORForestClassifier(**params)
        target = label
    else:
        local_class, remote = QUORForestRegressor, DaskQUORForestRegressor(**params)
        target = frame["size"].fillna(0.0) * (label == "yes")
    X = dd.from_pandas(frame, npartitions=4)
    Y = dd.from_pandas(target, npartitions=4)
    X, Y = client.persist([X, Y])  # where the scheduler chooses
    remote.set_params(min_block_rows=min_block_rows).fit(X, Y)
    blocks = [(frame, target)] if min_block_rows > len(frame) else \
        [(X.get_partition(i).compute(), Y.get_partition(i).compute()) for i in range(4)]
    locals_ = [local_class(**params).fit(*block) for block in blocks]
    dealt = [[repr(tree) == theirs[i] for theirs in map(tree_dumps, locals_)]
             for i, tree in enumerate(t.export_tree() for t in remote.estimators_)]
    assert all(any(row) for row in dealt)
    counts = np.sum(dealt, axis=0)
    assert counts.sum() == 6 and set(counts) <= {6 // len(blocks), -(-6 // len(blocks))}

    local = locals_[0]
    for name in ("is_categorical_", "feature_names_in_"):
        np.testing.assert_array_equal(getattr(remote, name), getattr(local, name))
    assert [None if c is None else c.tolist() for c in remote.categories_] == \
        [None if c is None else c.tolist() for c in local.categories_]
    if len(blocks) == 1:
        ours, theirs = remote.to_local()._forest.export_arrays(), local._forest.export_arrays()
        assert list(ours) == list(theirs)
        for name in ours:
            np.testing.assert_array_equal(ours[name], theirs[name], err_msg=name)
        # Measured on the rows each tree did not draw, where the tree grew.
        assert remote.to_local()._out_of_bag_importances is not None
        np.testing.assert_array_equal(remote.feature_importances_, local.feature_importances_)
        shuffled = remote.set_params(shuffle=True).fit(X, Y)  # one group: all rows in order
        assert tree_dumps(shuffled) == tree_dumps(local)
    if task == "classifier":
        np.testing.assert_array_equal(remote.classes_, local.classes_)
        proba = remote.predict_proba(X).compute()
        np.testing.assert_array_equal(proba.to_numpy(), remote.to_local().predict_proba(frame))
        assert list(proba.columns) == ["no", "yes"]
    # A model file holds the local forest, and loads as one.
    quor.save(remote, tmp_path / "remote.quor")
    loaded = quor.load(tmp_path / "remote.quor")
    assert type(loaded) is type(local)
    np.testing.assert_array_equal(loaded.predict(frame), remote.to_local().predict(frame))


def test_shuffle_mixes_partitions_that_differ(client):
    """Rows sorted by the label: each block alone sees one class until shuffled, and
    the shuffled forest does not depend on where the partitions are."""
    x, y = data(n=2000)
    order = np.argsort(x[:, 0], kind="stable")
    x, y = x[order], (x[order, 0] >= 50).astype(np.int64)
    first, second = sorted(client.nthreads())
    half = len(x) // 2
    parts = [on_workers(client, x[s], y[s], 2, [w])
             for s, w in ((slice(None, half), first), (slice(half, None), second))]
    X = da.concatenate([p[0] for p in parts])
    Y = da.concatenate([p[1] for p in parts])
    params = dict(n_estimators=10, random_state=0, max_features=None, min_block_rows=500)
    apart = DaskQUORForestClassifier(**params).fit(X, Y)
    mixed = DaskQUORForestClassifier(**params, shuffle=True).fit(X, Y)
    assert apart.score(x, y) < 0.75  # every tree is one leaf of its block's only class
    assert mixed.score(x, y) > 0.95
    X, Y = on_workers(client, x, y, 4, [second])  # the same partitions, all on one worker
    again = DaskQUORForestClassifier(**params, shuffle=True).fit(X, Y)
    assert tree_dumps(again) == tree_dumps(mixed)


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
    cases += [(X, Y, "min_block_rows", rows) for rows in (0, 2.5, True)]
    with distributed.get_task_stream(client) as stream:
        for bad_x, bad_target, message, *rows in cases:
            with pytest.raises(ValueError, match=message):
                DaskQUORForestClassifier(n_estimators=2, min_block_rows=(rows or [1])[0]).fit(
                    bad_x, bad_target)
        with pytest.raises(ValueError, match="NaN or infinity"):
            DaskQUORForestRegressor(n_estimators=2).fit(X, da.where(bad_y > 0, np.nan, bad_y))
        with pytest.raises(TypeError, match="dask array"):
            DaskQUORForestClassifier().fit(x, y)
        for bad_x in (X / 4, frame / 4):  # fractions in a column of codes are not rounded
            with pytest.raises(ValueError, match="not a category code"):
                DaskQUORForestClassifier(n_estimators=2, categorical=[1]).fit(bad_x, Y)
        with pytest.raises(ValueError, match="neither numeric nor categorical"):
            DaskQUORForestClassifier(n_estimators=2).fit(frame.assign(c=frame["c"] * 1j), Y)
        # An objective's decision on out-of-bag rows needs rows a cluster does not keep.
        with pytest.raises(ValueError, match="objective_splits='objective'"):
            DaskQUORForestClassifier(n_estimators=2, objective="f1").fit(X, Y)
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
    # The trees being grown when the client closed still run to their end on
    # the workers' threads; later tests watch the task stream for growth. A
    # block's trees take long in a sanitized build on a busy machine (over a
    # minute seen): the wait allows several times the cluster's usual bound.
    deadline = time.monotonic() + 5 * TIMEOUT
    while any(client.run(lambda dask_worker: len(dask_worker.active_threads)).values()):
        assert time.monotonic() < deadline, "the workers are still growing trees"
        time.sleep(0.05)


# A user's script: imports at its top, the fit under the main guard (the workers
# are spawned processes that import it too).  It fits the same data and partitions
# placed four ways, and once more while one worker is killed, and prints a digest
# of each forest's arrays.
SCRIPT = """
import hashlib
import json
import logging
import os
import signal
import threading
import time

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, wait

from quor.dask import DaskQUORForestClassifier

TIMEOUT = 60


def digest(model):
    arrays = model.to_local()._forest.export_arrays()
    return hashlib.sha256(b"".join(np.ascontiguousarray(arrays[k]).tobytes()
                                   for k in sorted(arrays))).hexdigest()


def kill_when_growing(client, killed):
    pids = client.run(os.getpid)
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        for worker, keys in client.processing().items():
            if any(str(k).startswith("quor-grow") for k in keys):
                os.kill(pids[worker], signal.SIGKILL)
                killed.append(worker)
                return
        time.sleep(0.005)


if __name__ == "__main__":
    rng = np.random.default_rng(0)
    x = rng.integers(0, 100, size=(16_000, 5)).astype(np.float64)
    y = (x[:, 0] + x[:, 1] + rng.integers(0, 80, size=len(x)) > 140).astype(np.int64)
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        client.wait_for_workers(2, timeout=TIMEOUT)
        first, second = sorted(client.nthreads())

        def placed(tag, x_on=None, y_on=None):
            X = da.from_array(x, chunks=(2000, 5), name=f"x-{tag}")
            Y = da.from_array(y, chunks=2000, name=f"y-{tag}")
            X, Y = client.persist(X, workers=x_on), client.persist(Y, workers=y_on)
            wait([X, Y], timeout=TIMEOUT)
            return X, Y

        def fit(X, Y):
            model = DaskQUORForestClassifier(n_estimators=48, random_state=0, max_features=None,
                                             min_block_rows=2000)
            return model.fit(X, Y)

        chosen = placed("chosen")  # where the scheduler chooses
        digests = [digest(fit(*chosen)), digest(fit(*chosen)),
                   digest(fit(*placed("one", [first], [first]))),
                   digest(fit(*placed("apart", [second], [first])))]
        killed = []
        killer = threading.Thread(target=kill_when_growing, args=(client, killed))
        X, Y = placed("killed")
        killer.start()
        digests.append(digest(fit(X, Y)))
        killer.join(TIMEOUT)
        print(json.dumps({"digests": digests, "killed": len(killed)}))
"""


def test_one_forest_per_seed_wherever_the_partitions_are(tmp_path):
    """Four fits of the same partitions, placed by the scheduler and by hand, and a fit
    that loses a worker while growing give one forest, bit for bit."""
    script = tmp_path / "user_script.py"
    script.write_text(SCRIPT)
    path = os.pathsep.join([os.path.dirname(os.path.dirname(quor.__file__))]
                           + os.environ.get("PYTHONPATH", "").split(os.pathsep))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          timeout=4 * TIMEOUT, cwd=tmp_path, env=dict(os.environ, PYTHONPATH=path))
    assert done.returncode == 0, done.stderr[-3000:]
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result["killed"] == 1
    assert len(set(result["digests"])) == 1, result["digests"]


@pytest.mark.parametrize("shuffle", [False, True])
@pytest.mark.parametrize("min_block_rows", [10_000, 300], ids=["one block", "four blocks"])
def test_weights_travel_with_their_partitions(client, min_block_rows, shuffle):
    """Weights partitioned like X: each tree is the local forest's tree on its block
    with the block's weights (one block: the weighted local forest, bit for bit)."""
    frame, label = frame_data(seed=4)
    weight = pd.Series(np.random.default_rng(4).choice([0.0, 0.5, 1.0, 3.0], len(frame)))
    params = dict(n_estimators=6, random_state=3, max_samples=0.7, min_samples_leaf=0.02,
                  class_weight={"yes": 2.0})
    X, Y, W = (dd.from_pandas(v, npartitions=4) for v in (frame, label, weight))
    X, Y, W = client.persist([X, Y, W])
    remote = DaskQUORForestClassifier(**params, min_block_rows=min_block_rows, shuffle=shuffle)
    remote.fit(X, Y, sample_weight=W)
    if min_block_rows > len(frame):
        local = QUORForestClassifier(**params).fit(frame, label, sample_weight=weight)
        ours, theirs = remote.to_local()._forest.export_arrays(), local._forest.export_arrays()
        assert {k: v.tobytes() for k, v in ours.items()} == \
            {k: v.tobytes() for k, v in theirs.items()}
        return
    if not shuffle:  # (shuffled, the rows of a group are drawn at random)
        blocks = [[p.get_partition(i).compute() for p in (X, Y, W)] for i in range(4)]
        locals_ = [QUORForestClassifier(**params).fit(*block) for block in blocks]
        for i, tree in enumerate(remote.estimators_):
            assert any(repr(tree.export_tree()) in tree_dumps(local) for local in locals_), i
    unweighted = DaskQUORForestClassifier(**params, min_block_rows=min_block_rows,
                                          shuffle=shuffle).fit(X, Y)
    assert [a != b for a, b in zip(tree_dumps(unweighted), tree_dumps(remote))] == [True] * 6


def test_bad_weights_are_refused_before_any_tree_grows(client):
    x, y = data(n=800)
    X, Y = on_workers(client, x, y, 4)
    good = da.ones(800, chunks=200)
    cases = [
        (good.rechunk(400), "sample_weight has 2 partitions and X 4"),
        (good.rechunk(((100, 300, 200, 200),)), "chunked unlike X"),
        (good - 2, "sample_weight contains a negative value"),
        (da.where(da.arange(800, chunks=200) == 5, np.nan, good), "sample_weight contains NaN"),
        (good * 0, "every row has weight 0"),
        (good.astype(str), "must hold real numbers"),
    ]
    with distributed.get_task_stream(client) as stream:
        for weights, message in cases:
            with pytest.raises(ValueError, match=message):
                DaskQUORForestClassifier(n_estimators=2).fit(X, Y, sample_weight=weights)
        with pytest.raises(TypeError, match="dask array or a dask Series"):
            DaskQUORForestClassifier(n_estimators=2).fit(X, Y, sample_weight=np.ones(800))
    assert not [t for t in stream.data if str(t["key"]).startswith("quor-grow")]
