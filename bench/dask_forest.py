"""quor forests on a Dask cluster against the local forest (figures in bench/README.md).

On noisy classification data (1 000 000 x 20 by default) it fits
``QUORForestClassifier`` locally on one thread, then
``quor.dask.DaskQUORForestClassifier`` on a LocalCluster of one and of two
single-thread worker processes, ``X`` and ``y`` persisted on the workers
(separately, where the scheduler chooses) in 8 partitions before the clock
starts.  It reports fit times, held-out accuracy and the bytes the workers
sent each other during the fit, and checks the targets: the two-worker
forest's accuracy within 0.01 of the local forest's, its fit at least
1.7 x faster than the one-worker fit, the same forest on one worker and
on two, and no partition of ``X`` sent.  Each tree is grown on one block of
partitions (here every partition is a block: 125 000 rows), so a
fractional ``max_samples`` (the default) is a fraction of a partition's
rows, and a count is capped at them.

    PYTHONPATH=python /usr/bin/python3 bench/dask_forest.py [--rows N] [--trees T]
"""

import argparse
import logging
import time

import numpy as np

import dask.array as da
from distributed import Client, LocalCluster, wait

from quor import QUORForestClassifier
from quor.dask import DaskQUORForestClassifier, _blocks


def noisy_classification(n, d, seed):
    """Labels from a linear score of 8 of the d features plus heavy noise (Bayes rate ~0.85)."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, d))
    score = x[:, :8] @ np.linspace(1.0, 0.3, 8) + np.sin(2 * x[:, 0]) + 1.5 * rng.normal(size=n)
    return x, (score > 0).astype(np.int64)


def sent_between_workers(client):
    """(key, bytes) of what each worker has sent to another worker so far (what it
    sent the client is logged with no peer)."""
    def log(dask_worker):
        return [(str(k), n) for e in list(dask_worker.transfer_outgoing_log) if e.get("who")
                for k, n in e["keys"].items()]
    return client.run(log)


def persisted(client, x, y, rows, even):
    """X and y in partitions of ``rows`` rows, persisted separately where the scheduler
    chooses, or (``even``) the same partitions placed by hand, each with its targets,
    the first half on one worker and the second on the other."""
    if not even:
        X = da.from_array(x, chunks=(rows, x.shape[1])).persist()
        Y = da.from_array(y, chunks=rows).persist()
        wait([X, Y])
        return X, Y
    workers = sorted(client.nthreads())
    starts = range(0, len(x), rows)
    xs, ys = [], []
    for i, start in enumerate(starts):
        block = slice(start, start + rows)
        w = [workers[i * len(workers) // len(starts)]]
        xs.append(client.persist(da.from_array(x[block], chunks=x[block].shape), workers=w))
        ys.append(client.persist(da.from_array(y[block], chunks=len(y[block])), workers=w))
    X, Y = da.concatenate(xs), da.concatenate(ys)
    wait(xs + ys)
    return X, Y


def timed_fit(client, X, Y, params):
    """The fit's seconds, the busiest worker's CPU seconds, the forest and what moved."""
    # The trees of a partition grow where it is: the busiest worker's share of
    # the partitions bounds the speed-up.
    placement = sorted((sum(1 for ws in client.who_has(X).values() if w in ws)
                        for w in client.nthreads()), reverse=True)
    before = sent_between_workers(client)
    cpu = client.run(time.process_time)
    start = time.perf_counter()
    model = DaskQUORForestClassifier(**params).fit(X, Y)
    seconds = time.perf_counter() - start
    cpu = max(t - cpu[w] for w, t in client.run(time.process_time).items())
    after = sent_between_workers(client)
    moved = [e for w, entries in after.items() for e in entries[len(before.get(w, [])):]]
    x_keys = {str(k[0]) for k in X.__dask_keys__()}
    y_keys = {str(k) for k in Y.__dask_keys__()}
    traffic = {"X": sum(n for k, n in moved if k in x_keys),
               "y": sum(n for k, n in moved if k in y_keys),
               "other": sum(n for k, n in moved if k not in x_keys | y_keys),
               "y size": Y.nbytes, "placement": placement}
    return seconds, cpu, model.to_local(), traffic


def distributed_fits(n_workers, x, y, params, partitions):
    """Fits on a new cluster: the scheduler's placement, then (two workers) an even one."""
    with LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        client.wait_for_workers(n_workers)
        rows = -(-len(x) // partitions)
        fits = []
        for even in (False, True)[:n_workers]:
            X, Y = persisted(client, x, y, rows, even)
            fits.append(timed_fit(client, X, Y, params))
            del X, Y
        return fits


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--test-rows", type=int, default=200_000)
    parser.add_argument("--trees", type=int, default=16)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--max-samples", type=float, default=None,
                        help="rows per tree: a fraction (of a block's rows on a cluster) or, "
                             "from 1 up, a count (capped at a block's rows on a cluster); "
                             "default: the forest's default fraction")
    args = parser.parse_args()

    x, y = noisy_classification(args.rows + args.test_rows, args.features, seed=0)
    x_train, y_train = x[: args.rows], y[: args.rows]
    x_test, y_test = x[args.rows:], y[args.rows:]
    params = dict(n_estimators=args.trees, random_state=0, n_jobs=1)
    if args.max_samples is not None:
        params["max_samples"] = (int(args.max_samples) if args.max_samples >= 1
                                 else args.max_samples)

    start, cpu = time.perf_counter(), time.process_time()
    local = QUORForestClassifier(**params).fit(x_train, y_train)
    results = [("local forest, 1 thread", time.perf_counter() - start,
                time.process_time() - cpu, local)]
    names = ["Dask, 1 worker x 1 thread", "Dask, 2 workers x 1 thread, the scheduler's placement",
             "Dask, 2 workers x 1 thread, an even placement by hand"]
    traffic = []
    for n_workers in (1, 2):
        for seconds, cpu, model, moved in distributed_fits(n_workers, x_train, y_train, params,
                                                           args.partitions):
            results.append((names[len(traffic)], seconds, cpu, model))
            traffic.append(moved)

    rows_per_tree = params.get("max_samples", QUORForestClassifier().max_samples)
    sizes = [len(r) for r in np.array_split(np.arange(args.rows), args.partitions)]
    blocks = _blocks(sizes, DaskQUORForestClassifier().min_block_rows)
    print(f"{args.rows} x {args.features}, {args.trees} trees, {args.partitions} partitions "
          f"in {len(blocks)} blocks, {args.test_rows} held-out rows, "
          f"max_samples={rows_per_tree}\n")
    print("| fit | seconds | CPU seconds (busiest process) | held-out accuracy | "
          "partitions of X per worker | bytes of X / y sent between workers |\n"
          "|---|---|---|---|---|---|")
    scores = []
    for (name, seconds, cpu, model), moved in zip(results, [None] + traffic):
        scores.append(model.score(x_test, y_test))
        where = "" if moved is None else \
            f"{moved['placement']} | {moved['X']} / {moved['y']} of {moved['y size']}"
        print(f"| {name} | {seconds:.1f} | {cpu:.1f} | {scores[-1]:.4f} | {where or '- | -'} |")
    gap = abs(scores[2] - scores[0])
    arrays = [model._forest.export_arrays() for _, _, _, model in results[1:]]
    same = all(a[k].tobytes() == arrays[0][k].tobytes()  # bits: leaves hold NaN bounds
               for a in arrays[1:] for k in a)
    print(f"\ntwo workers against the local forest: accuracy {scores[2] - scores[0]:+.4f} "
          f"(target: within 0.01) {'met' if gap <= 0.01 else 'MISSED'}")
    for k in (2, 3):
        speedup = results[1][1] / results[k][1]
        print(f"two workers ({'even placement' if k == 3 else 'scheduler'}) against one: "
              f"{speedup:.2f} x faster, {results[1][2] / results[k][2]:.2f} x in CPU seconds "
              f"(target: >= 1.7) {'met' if speedup >= 1.7 else 'MISSED'}")
    print(f"the forest on one worker and on two, either placement: "
          f"{'the same' if same else 'DIFFERENT'}")
    if len(blocks) < args.partitions:
        print("(partitions smaller than min_block_rows: blocks of several partitions gather "
              "their rows on one worker)")
    print(f"bytes of X sent between workers (target: none): "
          f"{'met' if not any(m['X'] for m in traffic) else 'MISSED'}; of y at most its size: "
          f"{'met' if all(m['y'] <= m['y size'] for m in traffic) else 'MISSED'}; anything else: "
          f"{sum(m['other'] for m in traffic)} bytes")
    print("\nA fit whose seconds clearly exceed its CPU seconds lost the processor to other "
          "processes; its figures say little.")


if __name__ == "__main__":
    main()
