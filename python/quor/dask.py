"""quor forests grown on a Dask cluster, from data that stays where it is.

``DaskQUORForestClassifier`` and ``DaskQUORForestRegressor`` take the
parameters of the local forests (``QUORForestClassifier``,
``QUORForestRegressor``) and fit on a ``dask.array`` or ``dask.dataframe``
held by the workers of a ``distributed`` cluster.

How a fit runs
--------------
1. The input is checked from its metadata (2-D numeric array or frame with
   numeric, boolean or categorical columns, known chunk sizes, a target
   with as many partitions as ``X``); anything else is a ``ValueError``
   before any work.
2. ``X`` and ``y`` are persisted (a no-op for partitions already in the
   cluster's memory) and the scheduler is asked which worker holds each
   partition.
3. Small reductions, one task per partition pinned to the worker that
   holds its rows of ``X``, collect what every tree must agree on: the rows
   of every partition (``X`` and ``y`` must match), the classes
   (classification), the categories of every categorical column, and
   whether any value is infinite or any regression target is not finite;
   with ``sample_weight``, whether a weight is bad and how many rows of each
   class weigh more than 0 (for ``class_weight="balanced"``).  Only these
   facts travel to the client.  The partitions of ``sample_weight``, like
   those of ``y``, are read where they are and copied once to the worker
   that holds their rows of ``X`` if they are elsewhere.
4. The partitions are gathered, in order, into blocks, and the
   ``n_estimators`` trees are dealt to the blocks in proportion to their
   rows (below).  One task per block that has trees, pinned to the worker
   that holds its rows, grows them; only the fitted trees, as a few flat
   NumPy arrays, travel back.
5. The client joins the blocks' trees, in tree order, into one ordinary
   local forest.

One forest per seed
-------------------
The forest is a function of the data, its partitioning and the parameters
(``random_state`` among them) only: not of which worker holds which
partition, of the order in which they were placed, or of a worker lost
during the fit.

- A block is a run of consecutive partitions: partitions are taken in
  order until they hold at least ``min_block_rows`` rows, and a last run
  with fewer rows joins the block before it.  With partitions of at least
  ``min_block_rows`` rows every partition is a block.
- With ``N`` rows in all and ``T`` trees, tree ``i`` is grown on the block
  that holds row ``floor((i + 1/2) N / T)`` of the data in partition order:
  each block gets its share of the trees rounded up or down, and with more
  blocks than trees the trees are spread evenly over the data (blocks that
  get no tree are not used).
- Tree ``i`` is then the ``i``-th tree of the local forest fitted, with the
  same parameters, on the rows of its block: the same seed (drawn from
  ``random_state`` as the local forest draws it), ``max_samples`` a
  fraction of the block's rows (a count is capped at them), fractional
  ``min_samples_split`` and ``min_samples_leaf`` of the block's rows; the
  classes and categories are those of all the data.
- Data of fewer than ``2 * min_block_rows`` rows form one block, and the
  forest is the local forest fitted on all rows, bit for bit.

On data whose partitions are each a fair sample of the whole, a forest of
trees grown on one partition each is about as accurate as one grown on all
rows (``bench/dask_forest.py``: 0.0038 below the local forest on 1 000 000
rows in 8 partitions).  When partitions differ (data sorted by time, by
region, by label), each tree is an expert on its block, and the forest,
their average, can be clearly worse: ``shuffle=True`` then deals the rows
of every partition at random into as many groups as there are blocks, each
a uniform sample of all rows about as large as its block, and grows each
block's trees on the group of the same number instead.  Which group a row
goes to depends only on ``random_state``, its partition's index, its
position there and the partitions' sizes, so this too gives one forest per
seed (and data of one block still give the local forest); the groups are
made on the workers and the rows move between them once (never to the
client).

What moves
----------
Without ``shuffle``, a block of one partition moves no row of ``X``: its
facts and its trees are computed on the worker that holds that partition.
A partition of ``y`` held by another worker than the rows of ``X`` it
belongs to is sent to them (a column, never rows of ``X``).  A block of
several partitions (only where partitions hold fewer than
``min_block_rows`` rows) is grown on the worker that holds most of its
rows, and its partitions held elsewhere are sent there.  (A dask array
chunked along its columns is first rechunked into blocks of whole rows,
which Dask does by gathering each row block's column chunks.)

Faults
------
A worker that leaves during a fit changes nothing in the forest, since a
tree's rows depend only on its block.  Dask recomputes the partitions it
held, where they can be recomputed, and the tasks that were pinned to it
are run again wherever the scheduler places them, normally beside those
recomputed partitions.  What moves is then those recomputed partitions
(and the targets and other partitions of the same blocks, to the worker
that grows them); nothing else.  Partitions that cannot be recomputed
(scattered data) end the fit with one error.  A fit left with no worker
for 30 seconds and a client closed during a fit raise ``RuntimeError``.

The fitted estimator is a local forest: it predicts on NumPy and pandas
input as the local forest does, ``to_local()`` returns that forest, and
it pickles without the client.  ``predict`` and ``predict_proba`` on a dask
collection are lazy and run partition by partition on the workers.
"""

import asyncio
import concurrent.futures
import numbers
import operator
import time
import uuid

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import default_client, futures_of, get_worker, wait
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from . import _params, _weights
from ._categories import check_codes, encoded_by_value, encode_table, learn_categories
from ._estimators import INPUT_ATTRIBUTES_DOC, prepare_targets, splits_by_criterion, weight_arguments
from ._forest import QUORForestClassifier, QUORForestRegressor, _tree_seeds
from ._input import resolve_categorical
from ._out_of_bag import out_of_bag_importances
from ._quor import RawForest

__all__ = ["DaskQUORForestClassifier", "DaskQUORForestRegressor"]

# How often a waiting fit looks at the cluster, and how long it waits with no
# worker at all before giving up.
_POLL_SECONDS = 0.2
_NO_WORKER_SECONDS = 30.0
# How long one fetch of a finished task's result may take before it is tried
# again (or the task run again, if its worker has left meanwhile).  Generous:
# a fetch given up mid-transfer makes the scheduler drop that worker.
_FETCH_SECONDS = 300.0
_CANCELLED = (concurrent.futures.CancelledError, asyncio.CancelledError)


# -- checking the input --------------------------------------------------------------


def _known_chunks(array, name):
    if any(np.isnan(c) for c in array.chunks[0]):
        raise ValueError(
            f"{name} has unknown chunk sizes; call {name}.compute_chunk_sizes() first, or "
            "pass lengths=True to to_dask_array()"
        )


def _check_x(X, categorical):
    """X as a dask array with one column chunk or a dask frame, and its column facts.

    Returns ``(X, names, is_categorical, by_value)``: the feature names (a
    frame's labels when all are strings), the mask of categorical columns
    and the positions of the columns encoded by value.
    """
    if isinstance(X, da.Array):
        if X.ndim != 2:
            raise ValueError(f"X must be a 2-D dask array, got {X.ndim} dimensions")
        if X.dtype.kind not in "biuf":
            raise ValueError(
                f"X holds {X.dtype} values; a dask array must hold numbers (for columns of "
                "categories use a dask DataFrame with category columns)"
            )
        _known_chunks(X, "X")
        if len(X.chunks[1]) > 1:  # every partition is a block of whole rows
            X = X.rechunk({1: -1})
        mask = resolve_categorical(categorical, X.shape[1], None)
        return X, None, mask, []
    if isinstance(X, dd.DataFrame):
        labels = list(X.columns)
        names = labels if labels and all(isinstance(c, str) for c in labels) else None
        mask = resolve_categorical(categorical, len(labels), names)
        by_value = []
        for j, (label, dtype) in enumerate(X.dtypes.items()):
            if encoded_by_value(dtype, mask[j]):
                mask[j] = True
                by_value.append(j)
            elif pd.api.types.is_complex_dtype(dtype) or not (
                pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)
            ):
                raise ValueError(
                    f"column {label!r} of X is neither numeric nor categorical ({dtype}); "
                    "name it in categorical to use its values as categories, or convert it"
                )
        return X, names, mask, by_value
    raise TypeError(
        f"X must be a dask array or a dask DataFrame, got {type(X).__name__}; fit a local "
        "quor forest on in-memory data, or wrap it with dask.array.from_array"
    )


def _check_y(y, X, classify):
    if isinstance(y, dd.DataFrame):
        if len(y.columns) != 1:
            raise ValueError(f"y must be one column, got a frame of {len(y.columns)}")
        y = y.iloc[:, 0]
    if isinstance(y, da.Array):
        if y.ndim == 2 and y.shape[1] == 1:
            y = y[:, 0]
        if y.ndim != 1:
            raise ValueError(f"y must be 1-D, got shape {y.shape}")
        _known_chunks(y, "y")
    elif not isinstance(y, dd.Series):
        raise TypeError(
            f"y must be a dask array or a dask Series partitioned like X, got {type(y).__name__}"
        )
    if not classify and not (y.dtype.kind in "biuf"):
        raise ValueError(f"y holds {y.dtype} values; a regression target must be numeric")
    n_x = X.numblocks[0] if isinstance(X, da.Array) else X.npartitions
    n_y = y.numblocks[0] if isinstance(y, da.Array) else y.npartitions
    if n_x != n_y:
        raise ValueError(
            f"y has {n_y} partitions and X {n_x}: partition the target like X (take both "
            "from one array or frame, or rechunk y to X's row chunks)"
        )
    if isinstance(X, da.Array) and isinstance(y, da.Array) and X.chunks[0] != y.chunks[0]:
        first = next(i for i, (a, b) in enumerate(zip(X.chunks[0], y.chunks[0])) if a != b)
        raise ValueError(
            f"y is chunked unlike X: partition {first} has {y.chunks[0][first]} targets for "
            f"{X.chunks[0][first]} rows; rechunk y to X.chunks[0]"
        )
    return y


def _check_weights(sample_weight, X):
    """``sample_weight`` as a 1-D dask array or Series partitioned like X."""
    if isinstance(sample_weight, dd.DataFrame):
        if len(sample_weight.columns) != 1:
            raise ValueError(f"sample_weight must be one column, got a frame of "
                             f"{len(sample_weight.columns)}")
        sample_weight = sample_weight.iloc[:, 0]
    if isinstance(sample_weight, da.Array):
        if sample_weight.ndim != 1:
            raise ValueError(f"sample_weight must be 1-D, got shape {sample_weight.shape}")
        _known_chunks(sample_weight, "sample_weight")
    elif not isinstance(sample_weight, dd.Series):
        raise TypeError(
            "sample_weight must be a dask array or a dask Series partitioned like X, got "
            f"{type(sample_weight).__name__}")
    if sample_weight.dtype.kind not in "biuf":
        raise ValueError(f"sample_weight holds {sample_weight.dtype} values; it must hold "
                         "real numbers")
    n_x = X.numblocks[0] if isinstance(X, da.Array) else X.npartitions
    n_w = (sample_weight.numblocks[0] if isinstance(sample_weight, da.Array)
           else sample_weight.npartitions)
    if n_x != n_w:
        raise ValueError(
            f"sample_weight has {n_w} partitions and X {n_x}: partition the weights like X")
    if isinstance(X, da.Array) and isinstance(sample_weight, da.Array) \
            and X.chunks[0] != sample_weight.chunks[0]:
        raise ValueError("sample_weight is chunked unlike X; rechunk it to X.chunks[0]")
    return sample_weight


def _partition_keys(collection):
    """The keys of a collection's row partitions, in order."""
    keys = collection.__dask_keys__()
    if isinstance(collection, da.Array) and collection.ndim == 2:
        return [row[0] for row in keys]
    return list(keys)


# -- work on the workers ---------------------------------------------------------------


def _partition_facts(x, y, by_value, codes, classify, w=None):
    """What the client must know of one partition; runs where the partition lives.

    ``codes`` are the numeric categorical columns: a value in them that is
    not a category code is reported (as the local estimators' message), not
    rounded to one.  With weights ``w``: their number, the first bad one,
    and how many rows weigh more than 0; classifiers also count the labels
    of those rows (for ``class_weight="balanced"``).
    """
    facts = {"rows": len(x), "targets": len(y), "infinite": False, "bad_code": None}
    if isinstance(x, pd.DataFrame):
        numeric = [j for j in range(x.shape[1]) if j not in by_value]
        matrix = np.empty((len(x), x.shape[1]))
        for j in numeric:
            matrix[:, j] = x.iloc[:, j].to_numpy(dtype=np.float64, na_value=np.nan)
        facts["infinite"] = bool(np.isinf(matrix[:, numeric]).any())
        facts["categories"] = {j: learn_categories(x.iloc[:, j]) for j in by_value}
        labels = list(x.columns)
    else:
        matrix = np.asarray(x, dtype=np.float64)
        facts["infinite"] = bool(np.isinf(matrix).any())
        labels = list(range(matrix.shape[1]))
    try:
        check_codes(matrix, codes, labels)
    except ValueError as err:
        facts["bad_code"] = str(err)
    targets = np.asarray(y)
    kept = targets
    if w is not None:
        weights = np.asarray(w, dtype=np.float64)
        facts["weights"] = len(weights)
        facts["bad_weight"] = _weights.bad_values(weights, "sample_weight")
        if len(weights) == len(targets) and facts["bad_weight"] is None:
            kept = targets[weights > 0]
            facts["kept"] = len(kept)
    if classify:
        facts["labels"] = np.unique(targets)
        facts["kept_labels"] = np.unique(kept, return_counts=True)
    else:
        facts["bad_targets"] = not bool(np.isfinite(targets.astype(np.float64)).all())
    return facts


def _matrix(x, categories):
    """One partition of X as the float64 matrix the core takes."""
    if isinstance(x, pd.DataFrame):
        return encode_table(x, categories, as_frame=False)
    return np.asarray(x, dtype=np.float64)


def _worker_threads(n_jobs):
    """``n_jobs`` on this worker: None is 1, -1 the worker's threads, -2 one fewer..."""
    if n_jobs is None:
        return 1
    if n_jobs < 0:
        return max(1, get_worker().state.nthreads + 1 + n_jobs)
    return int(n_jobs)


def _grow_block(kind, settings, parts, categories, classes, seeds, n_jobs, weighing=None):
    """Grow one tree per seed on the rows of ``parts``, a list of (x, y) or (x, y, w)
    pieces in order.

    Runs on the worker that holds the block, which it joins into one
    matrix.  ``weighing`` is None or ``(local, per_class, subsample)``: the
    local forest whose settings are resolved on the block's rows of
    non-zero weight, the weight of every class (or None) and whether each
    tree balances the classes of its draw.  Returns the trees as the native
    forest's flat arrays, and each tree's out-of-bag contributions to the
    importances, measured here on the block's rows the tree did not draw
    (None when every tree drew every row).
    """
    x = np.ascontiguousarray(np.concatenate([_matrix(p[0], categories) for p in parts]))
    y = np.concatenate([np.asarray(p[1]) for p in parts])
    w = (np.concatenate([np.asarray(p[2], dtype=np.float64) for p in parts])
         if parts and len(parts[0]) == 3 else None)
    del parts
    if classes is not None:
        y = np.searchsorted(classes, y).astype(np.int64)
    y = np.ascontiguousarray(y, dtype=np.int64 if classes is not None else np.float64)
    extra = {}
    if weighing is not None:
        local, per_class, subsample = weighing
        try:
            weights, n_kept = _weights.row_weights(w, per_class, y)
        except ValueError as err:
            raise ValueError(f"a block of partitions that grows trees: {err}") from None
        if weights is not None:
            settings = _block_settings(local, kind, settings, n_kept, x.shape[1])
        elif subsample:
            weights = np.ones(len(y))
        extra = weight_arguments(weights, subsample)
    forest = RawForest(kind, settings)
    weights = extra.get("sample_weight")
    n_rows = len(y) if weights is None else int(np.count_nonzero(weights))
    out_of_bag = settings["max_samples"] < n_rows
    n_threads = _worker_threads(n_jobs)
    forest.fit(x, y, seeds, n_threads, False, None, **extra, oob_importances=out_of_bag)
    return forest.export_arrays(), forest.take_oob_contributions() if out_of_bag else None


def _joined_arrays(parts):
    """The flat arrays of several forests as those of one forest, trees in order."""
    offsets, total = [np.zeros(1, dtype=np.int64)], 0
    for part in parts:
        offsets.append(np.asarray(part["node_offsets"][1:], dtype=np.int64) + total)
        total += int(part["node_offsets"][-1])
    arrays = {name: np.concatenate([part[name] for part in parts])
              for name in parts[0] if name not in ("node_offsets", "set_offsets")}
    arrays["node_offsets"] = np.concatenate(offsets)
    if "set_offsets" in parts[0]:
        # Each part's set offsets count from its own first word.
        sets, words = [np.zeros(1, dtype=np.int64)], 0
        for part in parts:
            sets.append(np.asarray(part["set_offsets"][1:], dtype=np.int64) + words)
            words += int(part["set_offsets"][-1])
        arrays["set_offsets"] = np.concatenate(sets)
    return arrays


def _piece_bounds(n_rows, block_rows):
    """Where ``_deal_rows`` cuts a partition's ``n_rows`` shuffled rows: one piece per
    block, in proportion to the blocks' rows (integer arithmetic)."""
    ends = np.concatenate([[0], np.cumsum(np.asarray(block_rows, dtype=np.int64))])
    return (n_rows * ends // ends[-1]).tolist()


def _deal_rows(x, y, partition, bounds, seed, w=None):
    """``shuffle=True``: a partition's rows dealt at random into pieces cut at ``bounds``.

    The piece of each row depends only on ``seed``, the partition's index,
    the row's position in it and the bounds; each piece keeps its rows in
    order.
    """
    order = np.random.default_rng([seed, partition]).permutation(len(x))

    def take(v, rows):
        return v.iloc[rows] if isinstance(v, (pd.DataFrame, pd.Series)) else np.asarray(v)[rows]

    dealt = []
    for start, stop in zip(bounds[:-1], bounds[1:]):
        rows = np.sort(order[start:stop])
        piece = (take(x, rows), take(y, rows))
        dealt.append(piece if w is None else piece + (take(w, rows),))
    return dealt


# -- running pinned tasks --------------------------------------------------------------


class _Job:
    """A task pinned to a worker (or an existing future), and how to run it again elsewhere.

    A job with no worker is placed by the scheduler.  A ``loose`` job runs
    on its worker while that worker lives and may run anywhere after: the
    choice for work whose result others depend on, which Dask must be able
    to recompute once that worker has left.
    """

    def __init__(self, worker, function=None, args=(), name="", future=None, loose=False):
        self.worker, self.function, self.args, self.name = worker, function, args, name
        self.future, self.loose = future, loose

    def submit(self, client):
        if self.function is None:  # a future of the caller's: Dask itself recomputes it
            return
        options = ({} if self.worker is None
                   else {"workers": [self.worker], "allow_other_workers": self.loose})
        self.future = client.submit(self.function, *self.args, pure=False,
                                    key=f"{self.name}-{uuid.uuid4().hex}", **options)


def _live_workers(client):
    try:
        return set(client.nthreads())
    except Exception as err:  # noqa: BLE001 - any failure to reach the scheduler
        _raise_if_closed(client, err)
        raise


def _raise_if_closed(client, cause=None):
    if client.status not in ("running", "connecting", "newly-created"):
        raise RuntimeError("the Dask client was closed while quor was fitting") from cause


def _run(client, jobs, what, gather=True):
    """Submit the jobs pinned to their workers; their results (or futures) in order.

    Waits in short steps.  A job whose worker has left, before or after it
    finished, is run again wherever the scheduler can place it (its
    partitions recomputed by Dask if they were lost); a job that failed
    raises its error; a client that is closed, or a cluster without
    workers for ``_NO_WORKER_SECONDS``, raises ``RuntimeError``.  Nothing
    waits unboundedly.
    """
    for job in jobs:
        job.submit(client)
    results = {}
    pending = list(jobs)
    lonely_since = None
    try:
        while pending:
            _raise_if_closed(client)
            live = _live_workers(client)
            if live:
                lonely_since = None
            else:
                lonely_since = lonely_since or time.monotonic()
                if time.monotonic() - lonely_since > _NO_WORKER_SECONDS:
                    raise RuntimeError(
                        f"the Dask cluster has had no worker for {_NO_WORKER_SECONDS:.0f} s "
                        f"while quor was {what}"
                    )
            for job in pending:
                status = job.future.status
                if status == "finished" and (not gather or job.function is None):
                    results[id(job)] = job.future
                elif status == "finished":
                    try:  # its worker may leave after it finished, losing the result
                        results[id(job)] = job.future.result(timeout=_FETCH_SECONDS)
                    except TimeoutError:
                        pass
                elif status in ("error", "cancelled"):
                    _raise_job_error(job, what)
                if id(job) in results or job.function is None:
                    continue
                if status == "lost" or (job.worker is not None and live and job.worker not in live):
                    # Unpinned, the scheduler places it by where its data now are.
                    client.cancel(job.future)
                    job.worker = None
                    job.submit(client)
            pending = [job for job in pending if id(job) not in results]
            if pending:
                try:
                    wait([job.future for job in pending], timeout=_POLL_SECONDS,
                         return_when="FIRST_COMPLETED")
                except TimeoutError:
                    pass
                except _CANCELLED as err:  # a closing client cancels every future
                    _raise_if_closed(client, err)
                    raise RuntimeError(f"quor's tasks were cancelled while it was {what}") \
                        from err
        return [results[id(job)] for job in jobs]
    except BaseException:
        if client.status == "running":
            client.cancel([job.future for job in jobs
                           if job.future is not None and job.function is not None])
        raise


def _raise_job_error(job, what):
    try:
        job.future.result(timeout=_NO_WORKER_SECONDS)
    except (ValueError, TypeError, MemoryError):
        raise
    except (Exception, *_CANCELLED) as err:  # noqa: BLE001 - worker deaths, lost data
        _raise_if_closed(job.future.client, err)
        raise RuntimeError(f"a Dask task failed while quor was {what}: {err!r}") from err
    raise RuntimeError(f"a Dask task ended as {job.future.status!r} while quor was {what}")


# -- the estimators --------------------------------------------------------------------


def _who_has(client, futures):
    """The workers holding each future, in order (sorted addresses)."""
    held = client.who_has(futures)
    return [sorted(held.get(f.key) or held.get(str(f.key)) or ()) for f in futures]


def _owners(client, x_futures, y_futures):
    """For each partition, the worker that reads it: one holding its rows of X (one
    holding its targets too, if any does)."""
    owners = []
    for xs, ys in zip(_who_has(client, x_futures), _who_has(client, y_futures)):
        if not xs:
            raise RuntimeError("a partition of X is no longer in the cluster's memory")
        both = [w for w in xs if w in ys]
        owners.append((both or xs)[0])
    return owners


def _same(value):
    return value


def _targets_beside_rows(client, owners, y_futures):
    """The partitions of y, each held by the worker that reads its rows of X.

    A partition of y held elsewhere is copied there once, as a result the
    fit keeps: the checks and the growth then read it where it is.  Left to
    Dask, each task would fetch it anew, and Dask drops the extra copy in
    between.
    """
    copies = [(i, _Job(w, _same, (yf,), "quor-targets", loose=True))
              for i, (w, yf, held) in enumerate(zip(owners, y_futures, _who_has(client, y_futures)))
              if w not in held]
    futures = list(y_futures)
    moved = _run(client, [job for _, job in copies], "placing its targets", gather=False)
    for (i, _), future in zip(copies, moved):
        futures[i] = future
    return futures


def _blocks(rows, min_rows):
    """Consecutive partitions gathered into blocks of at least ``min_rows`` rows.

    Partitions are taken in order until the block holds ``min_rows`` rows;
    a last run with fewer joins the block before it.  Returns lists of
    partition indices.
    """
    blocks, current, held = [], [], 0
    for i, n in enumerate(rows):
        current.append(i)
        held += n
        if held >= min_rows:
            blocks.append(current)
            current, held = [], 0
    if current:
        if blocks:
            blocks[-1].extend(current)
        else:
            blocks.append(current)
    return blocks


def _dealt_trees(n_trees, rows):
    """The range of tree indices grown on each block of ``rows`` rows.

    Tree ``i`` goes to the block holding row ``floor((i + 1/2) N / T)`` of
    all ``N`` rows in order: every block gets ``T`` times its share of the
    rows rounded up or down, and with more blocks than trees the trees are
    spread evenly over the data.  Integer arithmetic: no rounding to differ.
    """
    ends = np.cumsum(np.asarray(rows, dtype=np.int64))
    total = int(ends[-1])
    positions = [((2 * i + 1) * total) // (2 * n_trees) for i in range(n_trees)]
    block_of = np.searchsorted(ends, positions, side="right")
    starts = np.searchsorted(block_of, np.arange(len(rows)), side="left")
    stops = np.searchsorted(block_of, np.arange(len(rows)), side="right")
    return list(zip(starts.tolist(), stops.tolist()))


def _block_worker(block, owners, rows):
    """The worker that holds most of a block's rows (the first such address on a tie)."""
    held = {}
    for i in block:
        held[owners[i]] = held.get(owners[i], 0) + rows[i]
    return min(held, key=lambda w: (-held[w], w))


# The parameters the distributed forests take beyond the local forests'.
_DASK_PARAMS = [("client", None), ("shuffle", False), ("min_block_rows", 10_000)]


class _DaskForest(BaseEstimator):
    """What the distributed classifier and regressor share."""

    _local_class = None
    _classify = False

    def _local_params(self):
        ours = dict(_DASK_PARAMS)
        return {name: value for name, value in self.get_params(deep=False).items()
                if name not in ours}

    def _client(self):
        if self.client is not None:
            return self.client
        try:
            return default_client()
        except ValueError:
            raise ValueError(
                "no Dask client: start one (distributed.Client(...)) or pass client="
            ) from None

    def fit(self, X, y, sample_weight=None):
        """Grow the forest on the workers that hold the rows of X.

        Parameters
        ----------
        X : dask.array.Array or dask.dataframe.DataFrame, shape (n_samples, n_features)
            Training features, with known chunk sizes (arrays); NaN marks a
            missing value.
        y : dask.array.Array or dask.dataframe.Series, shape (n_samples,)
            Targets, partitioned like X (the same number of partitions, the
            same rows in each).
        sample_weight : dask.array.Array or dask.dataframe.Series, default=None
            Weight of every row (finite, 0 or more), partitioned like X; read
            where its partitions are and sent with them, as the targets are.
            Each tree is that of the local forest fitted on its block's rows
            with their weights (fractional counts resolved on the block's
            rows of non-zero weight); ``class_weight`` is computed once, over
            all the rows (``"balanced"`` counts the rows of non-zero weight
            of every class).  The trees are dealt to the blocks by rows, not
            by weight.  A block whose rows all weigh 0 cannot grow trees: a
            ValueError.

        Returns
        -------
        self : DaskQUORForestClassifier or DaskQUORForestRegressor
            The fitted estimator.
        """
        local = self._local_class(**self._local_params())
        _params.check_params(local)
        if self.oob_score:
            raise ValueError(
                "oob_score=True is not available on a cluster: each row is on one worker, and "
                "the trees of the others would all have to predict it; score on held-out data"
            )
        if getattr(local, "objective", None) is not None and splits_by_criterion(local):
            raise ValueError(
                "objective_splits='criterion' chooses the decision for the objective on held-out "
                "predictions of the training rows, which a forest grown on a cluster does not "
                "make; use objective_splits='objective'"
            )
        if not isinstance(self.shuffle, (bool, np.bool_)):
            raise ValueError(f"shuffle must be a bool, got {self.shuffle!r}")
        if (not isinstance(self.min_block_rows, numbers.Integral)
                or isinstance(self.min_block_rows, (bool, np.bool_)) or self.min_block_rows < 1):
            raise ValueError(
                f"min_block_rows must be an int of at least 1, got {self.min_block_rows!r}")
        client = self._client()
        X, names, mask, by_value = _check_x(X, self.categorical)
        y = _check_y(y, X, self._classify)
        weighted = sample_weight is not None
        if weighted:
            sample_weight = _check_weights(sample_weight, X)
            X, y, sample_weight = client.persist([X, y, sample_weight])
            w_futures = _futures(sample_weight)
        else:
            X, y = client.persist([X, y])
            w_futures = []
        x_futures, y_futures = _futures(X), _futures(y)
        _run(client, [_Job(None, future=f) for f in x_futures + y_futures + w_futures],
             "reading its input", gather=False)
        owners = _owners(client, x_futures, y_futures)
        y_futures = _targets_beside_rows(client, owners, y_futures)
        if weighted:
            w_futures = _targets_beside_rows(client, owners, w_futures)
        codes = [j for j in np.flatnonzero(mask).tolist() if j not in by_value]
        facts = _run(
            client,
            [_Job(w, _partition_facts, (xf, yf, by_value, codes, self._classify) + extra,
                  "quor-facts")
             for w, xf, yf, extra in zip(owners, x_futures, y_futures,
                                         [(wf,) for wf in w_futures] if weighted
                                         else [()] * len(owners))],
            "checking its input",
        )
        categories, classes, fitted = self._global_facts(facts, X, names, mask, by_value)
        per_class, subsample = self._class_weights(facts, classes, weighted)
        rows = [f["rows"] for f in facts]
        kind, settings = _forest_settings(local, fitted, classes, sum(rows))
        seeds = _tree_seeds(self.random_state, self.n_estimators)
        parts = list(zip(x_futures, y_futures, w_futures) if weighted
                     else zip(x_futures, y_futures))
        weighing = (local, per_class, subsample) if (
            weighted or per_class is not None or subsample) else None
        blocks = _blocks(rows, self.min_block_rows)
        block_rows = [sum(rows[i] for i in block) for block in blocks]
        trees = _dealt_trees(len(seeds), block_rows)
        if self.shuffle:
            groups = _dealt_groups(client, parts, owners, rows, block_rows, trees, seeds[0])
        else:
            groups = [(_block_worker(block, owners, rows), [parts[i] for i in block], n)
                      for block, n in zip(blocks, block_rows)]
        jobs = []
        for (worker, pieces, n), (start, stop) in zip(groups, trees):
            if stop > start and not n:  # a piece per partition rounds down to nothing
                raise ValueError(
                    f"shuffle=True dealt no row to a block that grows trees; use a "
                    f"min_block_rows above the number of partitions ({len(rows)})")
            if stop > start:
                block = _block_settings(local, kind, settings, n, fitted["n_features_in_"])
                args = (kind, block, pieces, categories, classes, seeds[start:stop], self.n_jobs,
                        weighing)
                jobs.append(_Job(worker, _grow_block, args, "quor-grow"))
        grown = _run(client, jobs, "growing trees")
        arrays = _joined_arrays([part for part, _ in grown])
        local = _assembled(local, kind, settings, arrays, fitted)
        # Trees of a block whose every row they drew contribute nothing.
        per_tree = [c if c is not None else np.zeros((len(p["node_offsets"]) - 1,
                                                       fitted["n_features_in_"]))
                    for p, c in grown]
        if any(c is not None for _, c in grown):
            local._out_of_bag_importances = out_of_bag_importances(
                np.concatenate(per_tree), fitted["n_features_in_"])
        self._install(local)
        return self

    def _global_facts(self, facts, X, names, mask, by_value):
        """Categories, classes and the local forest's fitted attributes, from the partitions."""
        for i, f in enumerate(facts):
            if f["rows"] != f["targets"]:
                raise ValueError(
                    f"y is partitioned unlike X: partition {i} has {f['targets']} targets for "
                    f"{f['rows']} rows"
                )
        if sum(f["rows"] for f in facts) == 0:
            raise ValueError("X has no rows")
        if any(f["infinite"] for f in facts):
            raise ValueError("X contains infinity; use NaN for missing values")
        bad = next((f["bad_code"] for f in facts if f["bad_code"] is not None), None)
        if bad is not None:
            raise ValueError(bad)
        n_features = X.shape[1] if isinstance(X, da.Array) else len(X.columns)
        categories = [None] * n_features
        for j in by_value:
            seen = np.concatenate([f["categories"][j] for f in facts])
            unique = list(pd.unique(seen))
            categories[j] = learn_categories(pd.Series(unique, dtype=object))
        classes = None
        if self._classify:
            labels = np.concatenate([f["labels"] for f in facts])
            check_classification_targets(labels)
            classes = np.unique(labels)
        elif any(f["bad_targets"] for f in facts):
            raise ValueError("y contains NaN or infinity")
        fitted = {"n_features_in_": n_features, "is_categorical_": mask,
                  "categories_": categories}
        if names is not None:
            fitted["feature_names_in_"] = np.asarray(names, dtype=object)
        return categories, classes, fitted

    def _class_weights(self, facts, classes, weighted):
        """The weights of the classes (or None) and whether the trees balance their draws;
        the weights checked, from the partitions' facts."""
        if weighted:
            for i, f in enumerate(facts):
                if f["weights"] != f["rows"]:
                    raise ValueError(f"sample_weight is partitioned unlike X: partition {i} has "
                                     f"{f['weights']} weights for {f['rows']} rows")
            bad = next((f["bad_weight"] for f in facts if f["bad_weight"] is not None), None)
            if bad is not None:
                raise ValueError(bad)
            if sum(f["kept"] for f in facts) == 0:
                raise ValueError("every row has weight 0 (sample_weight); at least one weight "
                                 "must be positive")
        class_weight = getattr(self, "class_weight", None)
        if not self._classify or class_weight is None:
            return None, False
        _weights.check_class_weight(class_weight, classes, subsample_allowed=True)
        if class_weight == _weights.BALANCED_SUBSAMPLE:
            return None, True
        if class_weight == _weights.BALANCED:
            counts = np.zeros(len(classes), dtype=np.int64)
            for f in facts:
                labels, n = f["kept_labels"]
                np.add.at(counts, np.searchsorted(classes, labels), n)
            return _weights.balanced(counts), False
        return _weights.class_weights(class_weight, classes, None, None), False

    def _install(self, forest):
        """Make the fitted local forest this estimator's, its fitted attributes too."""
        def fitted_names(obj):
            return [name for name in vars(obj) if name.endswith("_") and not name.startswith("_")
                    and not isinstance(getattr(type(self), name, None), property)]
        for name in fitted_names(self):
            delattr(self, name)
        for name in fitted_names(forest):
            setattr(self, name, getattr(forest, name))
        self._local = forest

    # -- the fitted model ------------------------------------------------------

    def to_local(self):
        """The fitted forest as an ordinary local ``QUORForest*`` estimator.

        Returns
        -------
        QUORForestClassifier or QUORForestRegressor
            The forest itself (not a copy): the trees grown on the workers,
            joined in tree order, with this estimator's parameters.
        """
        check_is_fitted(self)
        return self._local

    def __getstate__(self):
        state = dict(super().__getstate__())
        state["client"] = None  # a client belongs to its process
        return state

    def _lazy(self, X, method, dtype, width):
        """``method`` of the local forest on a dask collection, partition by partition."""
        check_is_fitted(self)
        model = dask.delayed(self._local, pure=True, name=f"quor-model-{uuid.uuid4().hex}")
        if isinstance(X, da.Array):
            if X.ndim != 2:
                raise ValueError(f"X must be a 2-D dask array, got {X.ndim} dimensions")
            if len(X.chunks[1]) > 1:
                X = X.rechunk({1: -1})
            if width is None:
                return X.map_blocks(_call_block, model, method, dtype=dtype, drop_axis=1,
                                    meta=np.empty(0, dtype=dtype))
            return X.map_blocks(_call_block, model, method, dtype=dtype,
                                chunks=(X.chunks[0], (width,)),
                                meta=np.empty((0, width), dtype=dtype))
        if isinstance(X, dd.DataFrame):
            if width is None:
                meta = pd.Series(np.empty(0, dtype=dtype))
            else:
                meta = pd.DataFrame(np.empty((0, width), dtype=dtype),
                                    columns=list(self.classes_))
            return X.map_partitions(_call_frame, model, method, meta=meta)
        return getattr(self._local, method)(X)

    def predict(self, X):
        """Predictions for X: lazy and partition by partition for a dask collection.

        Parameters
        ----------
        X : dask.array.Array, dask.dataframe.DataFrame, array-like or DataFrame
            Rows to predict, with the columns seen at fit.

        Returns
        -------
        dask.array.Array, dask.dataframe.Series or ndarray of shape (n_samples,)
            A dask array gives a dask array, a dask DataFrame a dask Series
            with the frame's index, both computed on the workers; NumPy or
            pandas input is predicted here, as the local forest does.
        """
        dtype = self.classes_.dtype if self._classify else np.float64
        return self._lazy(X, "predict", dtype, None)

    def apply(self, X):
        """The leaf each row of NumPy or pandas X reaches in each tree.

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
            Rows to route, held here (not a dask collection).

        Returns
        -------
        ndarray of int64, shape (n_samples, n_estimators)
            Column t holds the leaves of tree t, as the local forest's
            ``apply``.
        """
        return self.to_local().apply(X)

    @property
    def estimators_(self):
        """The fitted trees as single-tree estimators."""
        return self.to_local().estimators_

    @property
    def feature_importances_(self):
        """Each tree's splits measured on its block's rows that the tree did not draw
        (on the worker that grew it); for trees that drew every row, the mean of
        the trees' ``held_out_importances_``."""
        return self.to_local().feature_importances_

    @property
    def held_out_importances_(self):
        """The mean of the trees' importances, each split scored on the folds that did
        not choose it (measured on the worker that grew the tree)."""
        return self.to_local().held_out_importances_

    @property
    def split_score_importances_(self):
        """The mean of the trees' importances from the scores their splits won with."""
        return self.to_local().split_score_importances_


def _call_block(block, model, method):
    return getattr(model, method)(block)


def _call_frame(frame, model, method):
    out = getattr(model, method)(frame)
    if out.ndim == 1:
        return pd.Series(out, index=frame.index)
    return pd.DataFrame(out, index=frame.index, columns=list(model.classes_))


def _forest_settings(local, fitted, classes, n_rows):
    """The native forest's kind and settings for the local forest ``local``."""
    targets = classes if classes is not None else np.zeros(1)
    kind, task_settings, _, task_fitted = prepare_targets(local, targets)  # checks pos_label
    fitted.update(task_fitted)
    settings = _params.core_settings(
        local, task_settings, np.flatnonzero(fitted["is_categorical_"]).tolist(), n_rows,
        fitted["n_features_in_"])
    RawForest(kind, settings)  # the core's own checks of the settings, before any work
    return kind, settings


def _block_settings(local, kind, settings, n_rows, n_features):
    """The settings of the trees grown on a block of ``n_rows`` rows: the local forest's
    on those rows (``max_samples`` and fractional counts resolved on them, a count of
    rows per tree capped at them)."""
    task = {name: settings[name] for name in _TASK_SETTINGS if name in settings}
    block = _params.core_settings(local, task, settings["categorical"], n_rows, n_features,
                                  capped=True)
    RawForest(kind, block)  # the core's own checks, before any work
    return block


# The settings of a forest's task (from its targets), the same on every block.
_TASK_SETTINGS = ("criterion", "n_classes", "objective", "average", "pos_label", "beta")


def _assembled(local, kind, settings, arrays, fitted):
    """A fitted local forest from the joined arrays of the workers' trees.

    It is restored as an unpickled local forest is, from its parameters,
    its fitted attributes and the native forest's settings and arrays.
    """
    fitted["n_estimators_"] = len(arrays["node_offsets"]) - 1
    state = dict(local.__getstate__(), **fitted, _forest_kind=kind, _forest_settings=settings,
                 _forest_arrays=arrays)
    local.__setstate__(state)
    return local


def _futures(collection):
    """The futures of a persisted collection's row partitions, in order."""
    by_key = {f.key: f for f in futures_of(collection)}
    return [by_key[k] for k in _partition_keys(collection)]


def _dealt_groups(client, parts, owners, rows, block_rows, trees, seed):
    """``shuffle=True``: every partition's rows dealt at random to one group per block.

    Each partition is cut, where it lives, into one random piece per block
    (``_deal_rows``), in proportion to the blocks' rows; group ``k`` is the
    ``k``-th piece of every partition, in partition order: a uniform sample
    of all rows about as large as block ``k``.  Only the groups that grow
    trees are gathered.  Returns ``(None, pieces, n_rows)`` per group: the
    scheduler places its trees' task, near most of its rows.
    """
    bounds = [_piece_bounds(n, block_rows) for n in rows]
    # Loose: a deck whose worker has left is recomputed wherever Dask can.
    decks = _run(client, [_Job(w, _deal_rows, (part[0], part[1], i, cuts, int(seed)) + part[2:],
                               "quor-deal", loose=True)
                          for i, (w, part, cuts) in enumerate(zip(owners, parts, bounds))],
                 "shuffling rows", gather=False)
    groups = []
    for k, (start, stop) in enumerate(trees):
        pieces, n_rows = [], 0
        for deck, owner, cuts in zip(decks, owners, bounds):
            size = cuts[k + 1] - cuts[k]
            if stop > start and size:
                pieces.append(client.submit(operator.getitem, deck, k, workers=[owner],
                                            allow_other_workers=True, pure=False))
                n_rows += size
        groups.append((None, pieces, n_rows))
    return groups


_DASK_PARAMS_DOC = """    client : distributed.Client or None, default=None
        The cluster to fit on; None is the current client
        (``distributed.default_client()``).  Dropped when the estimator is
        pickled.
    shuffle : bool, default=False
        Grow each block's trees on a uniform random sample of all rows (as
        many rows as the block holds) rather than on the block's own rows,
        for partitions that differ (e.g. data sorted by time).  Moves the
        rows once between the workers.
    min_block_rows : int, default=10000
        Each tree is grown on one block of consecutive partitions holding at
        least this many rows (the last block may hold more).  Partitions of
        at least this many rows are blocks by themselves and never move;
        smaller ones are joined to their neighbours on one worker.  Data of
        fewer than twice this many rows are one block: the local forest.
"""

_DASK_DOC = """
    The trees are grown where the partitions of X are: the partitions are
    gathered, in order, into blocks of at least ``min_block_rows`` rows
    (each partition is a block when they are at least that large), and
    each tree is the local forest's tree of the same index fitted on one
    block's rows, the trees dealt to the blocks in proportion to their
    rows.  The forest depends on the data, its partitioning and the
    parameters only, never on which worker holds what; only the fitted
    trees travel back.  When partitions differ (sorted by time, region,
    label) use ``shuffle=True``.  ``n_jobs`` is the threads each grow task
    uses (None: 1, -1: the worker's threads).  ``oob_score=True`` is
    refused.  The fitted estimator predicts NumPy and pandas input as the
    local forest does, and a dask collection lazily, partition by partition
    on the workers; ``to_local()`` returns the local forest.  See the
    module's documentation for how a fit runs, what moves and what happens
    on faults.
"""


_DASK_ATTRIBUTES_DOC = """
    Attributes
    ----------""" + INPUT_ATTRIBUTES_DOC + """    categories_ : list of (ndarray or None), length n_features
        The categories of each categorical feature, None for numeric ones.
    n_estimators_ : int
        Number of fitted trees.
    estimators_ : list of QUORClassifier or QUORRegressor
        The fitted trees as single-tree estimators.
    feature_importances_ : ndarray of float64, shape (n_features,)
        Each tree's splits measured on its block's rows that the tree did
        not draw (on the worker that grew it), as the local forest measures
        them.
    held_out_importances_ : ndarray of float64, shape (n_features,)
        The mean of the trees' importances, each split scored on the folds
        that did not choose it.
    split_score_importances_ : ndarray of float64, shape (n_features,)
        The mean of the trees' importances from the scores their splits won
        with.
"""

_DASK_CLASSES_DOC = """    classes_ : ndarray of shape (n_classes,)
        The class labels, sorted (classifier).
    n_classes_ : int
        Number of classes (classifier).
"""


def _dask_doc(summary, task):
    attributes = _DASK_ATTRIBUTES_DOC + (_DASK_CLASSES_DOC if task == "forest_classifier" else "")
    return (f"{summary}\n{_DASK_DOC}\n    Parameters\n    ----------\n"
            + _params.docstring(task) + _DASK_PARAMS_DOC + attributes)


class DaskQUORForestClassifier(ClassifierMixin, _DaskForest):
    __doc__ = _dask_doc("A quor forest classifier grown on a Dask cluster from the data it holds.",
                        "forest_classifier")

    _local_class = QUORForestClassifier
    _classify = True
    __init__ = _params.make_init("forest_classifier", _DASK_PARAMS)

    def predict_proba(self, X):
        """Class probabilities for X: lazy and partition by partition for a dask collection.

        Parameters
        ----------
        X : dask.array.Array, dask.dataframe.DataFrame, array-like or DataFrame
            Rows to predict, with the columns seen at fit.

        Returns
        -------
        dask.array.Array, dask.dataframe.DataFrame or ndarray
            Of shape (n_samples, n_classes), columns in the order of
            ``classes_``.  A dask array gives a dask array, a dask DataFrame
            a dask DataFrame with one column per class, both computed on the
            workers; NumPy or pandas input is predicted here.
        """
        check_is_fitted(self)
        return self._lazy(X, "predict_proba", np.float64, len(self.classes_))


class DaskQUORForestRegressor(RegressorMixin, _DaskForest):
    __doc__ = _dask_doc("A quor forest regressor grown on a Dask cluster from the data it holds.",
                        "forest_regressor")

    _local_class = QUORForestRegressor
    __init__ = _params.make_init("forest_regressor", _DASK_PARAMS)
