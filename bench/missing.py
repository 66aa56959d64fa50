"""Missing values: held-out scores and fit time of missing="right" against
missing="learn" (strict mode, both split styles).

    /usr/bin/python3 bench/missing.py [--rows-time N] [--skip-time]

Targets (4 000 rows, 11 % of column a missing, 3-fold scores): y = isnan(a),
y = a > 0 with missing counted as 0, and y = a > 0 with a's values missing
at random (the target drawn before the values are hidden).  Fit time: one
tree on N x 20 rows with 10 % of every column missing, and on the same
rows without missing values.
"""

import argparse
import sys
import time
import warnings
from pathlib import Path

import numpy as np
from sklearn.model_selection import cross_val_score

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
from quor import QUORClassifier  # noqa: E402


def targets(seed=0, n=4000):
    rng = np.random.default_rng(seed)
    a, b = rng.normal(size=n), rng.normal(size=n)
    miss = rng.random(n) < 0.11
    X = np.column_stack([np.where(miss, np.nan, a), b])
    yield "y = isnan(a)", X, miss.astype(int)
    yield "y = a > 0, missing as 0", X, np.where(miss, 0, a > 0).astype(int)
    yield "y = a > 0, missing at random", X, (a > 0).astype(int)


def scores():
    print("| target | split style | missing=right | missing=learn |")
    print("|---|---|---:|---:|")
    for name, X, y in targets():
        for style in ("threshold", "bin"):
            row = []
            for missing in ("right", "learn"):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    est = QUORClassifier(split_style=style, missing=missing)
                    row.append(cross_val_score(est, X, y, cv=3).mean())
            print(f"| {name} | {style} | {row[0]:.4f} | {row[1]:.4f} |")


def fit_times(n_rows, repeats=1):
    rng = np.random.default_rng(1)
    X = rng.normal(size=(n_rows, 20))
    y = (X[:, 0] + X[:, 1] * X[:, 2] > 0).astype(int)
    X_missing = np.where(rng.random(X.shape) < 0.1, np.nan, X)
    print(f"\n| data ({n_rows} x 20) | missing=right (s) | missing=learn (s) | ratio |")
    print("|---|---:|---:|---:|")
    for name, data in (("10 % missing", X_missing), ("no missing", X)):
        row = []
        for missing in ("right", "learn"):
            best = np.inf
            for _ in range(repeats):
                start = time.perf_counter()
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    QUORClassifier(missing=missing).fit(data, y)
                best = min(best, time.perf_counter() - start)
            row.append(best)
        print(f"| {name} | {row[0]:.2f} | {row[1]:.2f} | {row[1] / row[0]:.2f} |")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows-time", type=int, default=200_000)
    parser.add_argument("--skip-time", action="store_true")
    args = parser.parse_args()
    scores()
    if not args.skip_time:
        fit_times(args.rows_time)
