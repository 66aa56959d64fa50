#!/usr/bin/env python3
"""Fit time of quor's package estimators, whose splits are also measured on the
folds that did not choose them, against another build of quor (say, the
commit before the measurement existed).

Each configuration (task, mode, aggregator; single trees on ``bench.make_data``'s
data with ``bench.py``'s settings, and a forest) is fitted in a fresh process
per build, the builds alternating run after run so that a change in machine
load hits both alike; the best and the median of each are reported with the
ratio of the best runs against the target.

    PYTHONPATH=python /usr/bin/python3 bench/importance_time.py --against OTHER/python \
        [--repeats R]
"""

import argparse
import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
TARGET = 1.2  # fit time with the measurement / without, at most

# (label, task, estimator source, rows)
CASES = [
    ("tree, fast, mean", "classification", "QUORClassifier(mode='fast', n_bins=32, **common)", 200_000),
    ("tree, fast, median", "classification",
     "QUORClassifier(mode='fast', n_bins=32, aggregator='median', **common)", 200_000),
    ("tree, fast, mean", "regression", "QUORRegressor(mode='fast', n_bins=32, **common)", 200_000),
    ("tree, strict, mean", "classification", "QUORClassifier(mode='strict', **common)", 20_000),
    ("tree, strict, mean", "regression", "QUORRegressor(mode='strict', **common)", 20_000),
    ("forest of 20, fast", "classification",
     "QUORForestClassifier(n_estimators=20, mode='fast', n_jobs=1, random_state=0, **common)",
     50_000),
]

CHILD = """
import sys, time
sys.path.insert(0, {bench!r})
import bench
from quor import QUORClassifier, QUORRegressor, QUORForestClassifier
x, y = bench.make_data({task!r}, {rows})
common = dict(max_depth=bench.MAX_DEPTH, cv_folds=bench.CV_FOLDS)
model = {source}
start = time.perf_counter()
model.fit(x, y)
print(time.perf_counter() - start)
"""


def run(python_dir, task, source, rows):
    env = dict(os.environ, PYTHONPATH=str(python_dir))
    code = CHILD.format(bench=str(HERE), task=task, rows=rows, source=source)
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                         text=True)
    return float(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--against", required=True, metavar="DIR",
                        help="the python/ directory of the other build")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    this = HERE.parent / "python"
    print("| model | task | rows | this build best / median (s) | other build best / median (s) "
          "| ratio of best | target |")
    print("|---|---|---:|---:|---:|---:|---|")
    for label, task, source, rows in CASES:
        times = {"this": [], "other": []}
        for _ in range(args.repeats):
            times["this"].append(run(this, task, source, rows))
            times["other"].append(run(args.against, task, source, rows))
        best = {k: min(v) for k, v in times.items()}
        median = {k: sorted(v)[len(v) // 2] for k, v in times.items()}
        ratio = best["this"] / best["other"]
        print(f"| {label} | {task} | {rows} | {best['this']:.2f} / {median['this']:.2f} "
              f"| {best['other']:.2f} / {median['other']:.2f} | {ratio:.2f} "
              f"| {'PASS' if ratio <= TARGET else 'MISS'} (≤ {TARGET}) |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
