"""Missing values: held-out scores and fit time of missing="right" against
missing="learn" (both split styles; strict mode, or fast with --mode fast).

    /usr/bin/python3 bench/missing.py [--rows-time N] [--skip-time] [--mode fast]

Targets (4 000 rows, 11 % of column a missing, 3-fold scores): y = isnan(a),
y = a > 0 with missing counted as 0, and y = a > 0 with a's values missing
at random (the target drawn before the values are hidden); the last rows
repeat the bin style at greater depths.  Fit time: one tree (classifier and
regressor) on N x 20 rows with 10 % of every column missing, and on the
same rows without missing values, at the default depth and at depth 4.
"""

import argparse
import sys
import time
import warnings
from pathlib import Path

import numpy as np
from sklearn.model_selection import cross_val_score

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
from quor import QUORClassifier, QUORRegressor  # noqa: E402


def targets(seed=0, n=4000):
    rng = np.random.default_rng(seed)
    a, b = rng.normal(size=n), rng.normal(size=n)
    miss = rng.random(n) < 0.11
    X = np.column_stack([np.where(miss, np.nan, a), b])
    yield "y = isnan(a)", X, miss.astype(int)
    yield "y = a > 0, missing as 0", X, np.where(miss, 0, a > 0).astype(int)
    yield "y = a > 0, missing at random", X, (a > 0).astype(int)


def scores(mode="strict"):
    print("| target | split style | missing=right | missing=learn |")
    print("|---|---|---:|---:|")
    for name, X, y in targets():
        for style in ("threshold", "bin"):
            row = []
            for missing in ("right", "learn"):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    est = QUORClassifier(split_style=style, missing=missing, mode=mode)
                    row.append(cross_val_score(est, X, y, cv=3).mean())
            print(f"| {name} | {style} | {row[0]:.4f} | {row[1]:.4f} |")
    # One bin-style split takes one bin: at the default depth a tree can run
    # out of levels before it reaches the boundary.
    name, X, y = list(targets())[1]
    for depth in (10, 12, None):
        row = []
        for missing in ("right", "learn"):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                est = QUORClassifier(split_style="bin", missing=missing, max_depth=depth, mode=mode)
                row.append(cross_val_score(est, X, y, cv=3).mean())
        print(f"| {name} | bin, max_depth={depth} | {row[0]:.4f} | {row[1]:.4f} |")


def fit_times(n_rows, repeats=3, max_depths=(8, 4, 2), mode="strict"):
    """Best of `repeats` fit times of one tree, with the tree's node count:
    a learned side can let a tree grow where missing values right stop it,
    so the counts say how much of a ratio is a larger tree."""
    rng = np.random.default_rng(1)
    X = rng.normal(size=(n_rows, 20))
    signal = X[:, 0] + X[:, 1] * X[:, 2]
    X_missing = np.where(rng.random(X.shape) < 0.1, np.nan, X)
    print(f"\n| estimator | data ({n_rows} x 20) | max_depth | missing=right: s (nodes) "
          "| missing=learn: s (nodes) | ratio |")
    print("|---|---|---:|---:|---:|---:|")
    for Est, y in ((QUORClassifier, (signal > 0).astype(int)), (QUORRegressor, signal)):
        for depth in max_depths:
            for name, data in (("10 % missing", X_missing), ("no missing", X)):
                row = []
                for missing in ("right", "learn"):
                    best = np.inf
                    for _ in range(repeats):
                        start = time.perf_counter()
                        with warnings.catch_warnings():
                            warnings.simplefilter("ignore")
                            est = Est(missing=missing, max_depth=depth, mode=mode).fit(data, y)
                        best = min(best, time.perf_counter() - start)
                    row.append((best, est.tree_.node_count))
                (t0, n0), (t1, n1) = row
                print(f"| {Est.__name__} | {name} | {depth} | {t0:.2f} ({n0}) | {t1:.2f} ({n1}) | {t1 / t0:.2f} |")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows-time", type=int, default=200_000)
    parser.add_argument("--skip-time", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--mode", choices=("strict", "fast"), default="strict")
    args = parser.parse_args()
    print(f"mode={args.mode}\n")
    scores(args.mode)
    if not args.skip_time:
        fit_times(args.rows_time, args.repeats, mode=args.mode)
