#!/usr/bin/env python3
"""Fit time of quor's trees with sample weights against the same fit without.

The package's ``QUORClassifier``/``QUORRegressor`` (the settings of
``bench.py``'s quor entries: depth 8, 5 folds, fast mode with 32 bins, strict
mode with 8) on ``bench.make_data``'s data, fitted without weights and with
weights drawn uniformly from [0.5, 2) (every row kept, so both fits see the
same rows).  The two fits of one configuration alternate, so that a change in
machine load hits them alike; the best and the median of each are reported,
with the weighted / unweighted ratio of the best runs against the target.

    PYTHONPATH=python /usr/bin/python3 bench/weights.py [--sizes N ...] [--repeats R]
"""

import argparse
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import bench  # noqa: E402

TARGET = 1.3  # weighted fit time / unweighted, at most
MODES = (("fast", bench.FAST_BINS), ("strict", bench.STRICT_PARALLEL_BINS))


def estimator(task, mode, n_bins):
    from quor import QUORClassifier, QUORRegressor

    common = dict(max_depth=bench.MAX_DEPTH, min_samples_split=2, min_samples_leaf=1,
                  min_impurity_decrease=0.0, n_bins=n_bins, cv_folds=bench.CV_FOLDS, cv_seed=42,
                  cv_shuffle=True, mode=mode, split_style="threshold", aggregator="mean")
    if task == "classification":
        return QUORClassifier(criterion="gini", **common)
    return QUORRegressor(criterion="mse", **common)


def time_pair(task, mode, n_bins, x, y, weights, repeats):
    runs = {"unweighted": [], "weighted": []}
    estimator(task, mode, n_bins).fit(x[:2000], y[:2000], sample_weight=weights[:2000])  # warm up
    for _ in range(repeats):
        for key, w in (("unweighted", None), ("weighted", weights)):
            model = estimator(task, mode, n_bins)
            start = time.perf_counter()
            model.fit(x, y, sample_weight=w)
            runs[key].append(time.perf_counter() - start)
    return runs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", nargs="+", type=int, default=[200_000])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    print("| task | mode, bins | samples | unweighted best / median (s) | weighted best / median (s) "
          "| ratio of best | target |")
    print("|---|---|---:|---:|---:|---:|---|")
    misses = 0
    for n in args.sizes:
        for task in bench.TASKS:
            x, y = bench.make_data(task, n)
            weights = rng.uniform(0.5, 2.0, size=n)
            for mode, n_bins in MODES:
                runs = time_pair(task, mode, n_bins, x, y, weights, args.repeats)
                plain, weighted = runs["unweighted"], runs["weighted"]
                ratio = min(weighted) / min(plain)
                verdict = "PASS" if ratio <= TARGET else "MISS"
                misses += verdict == "MISS"
                print(f"| {task} | {mode} {n_bins} | {n:,} | {min(plain):.3f} / {np.median(plain):.3f} "
                      f"| {min(weighted):.3f} / {np.median(weighted):.3f} | {ratio:.2f} "
                      f"| {verdict} (<= {TARGET}) |", flush=True)
    return 1 if misses else 0


if __name__ == "__main__":
    sys.exit(main())
