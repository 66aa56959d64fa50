"""Peak memory of quor.load beyond the model it returns, against the file's size.

Builds a large regression forest cheaply (a small fit whose trees are then
replaced by complete trees of the chosen depth, made with NumPy and rebuilt
by RawForest.from_arrays, so every check of the loader applies), saves it,
and loads it in a fresh interpreter that reports its resident size before
loading, its peak (VmHWM) and its size afterwards:

    beyond the model = peak - after  (what loading held besides the model)

Usage: PYTHONPATH=python /usr/bin/python3 bench/load_memory.py [--trees 16] [--depth 16]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

import quor
from quor import QUORForestRegressor, RawForest

# VmHWM, not ru_maxrss: the latter keeps the size of the forked parent
# through exec, which would count the parent's forest as the child's peak.
CHILD = """
import sys
import quor

def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field))

before = status("VmRSS:")
model = quor.load(sys.argv[1], max_bytes=2**40)
after = status("VmRSS:")
print(before, after, status("VmHWM:"))
"""


def complete_tree(depth, n_features, rng):
    """The arrays of a complete tree of ``depth`` in pre-order, one sample per leaf."""
    n_nodes = 2 ** (depth + 1) - 1
    is_leaf = np.zeros(n_nodes, dtype=bool)
    left = np.full(n_nodes, -1, dtype=np.int32)
    right = np.full(n_nodes, -1, dtype=np.int32)
    counts = np.zeros(n_nodes, dtype=np.int64)
    stack = [(0, depth)]  # (index, depth still below); the next node is index + 1
    while stack:
        index, below = stack.pop()
        if below == 0:
            is_leaf[index] = True
            counts[index] = 1
            continue
        size = 2 ** below - 1  # nodes of each child's subtree
        left[index], right[index] = index + 1, index + 1 + size
        counts[index] = 2 ** below
        stack.append((index + 1 + size, below - 1))
        stack.append((index + 1, below - 1))
    split = ~is_leaf
    nan = np.full(n_nodes, np.nan)
    return {
        "is_leaf": is_leaf, "children_left": left, "children_right": right,
        "feature": np.where(split, rng.integers(0, n_features, n_nodes), -1).astype(np.int32),
        "is_categorical": np.zeros(n_nodes, dtype=bool),
        "lower": np.where(split, -np.inf, nan),
        "upper": np.where(split, rng.normal(size=n_nodes), nan),
        "category": np.full(n_nodes, -1, dtype=np.int64), "n_samples": counts,
        "split_score": np.where(split, rng.random(n_nodes), nan),
        "leaf_value": rng.normal(size=int(is_leaf.sum())),
    }


def large_forest(n_trees, depth, seed=0):
    rng = np.random.default_rng(seed)
    n_rows, n_features = 2 ** depth, 8
    X = rng.normal(size=(n_rows, n_features))
    forest = QUORForestRegressor(n_estimators=n_trees, max_depth=1, max_samples=None,
                                 random_state=0).fit(X, X[:, 0])
    trees = [complete_tree(depth, n_features, rng) for _ in range(n_trees)]
    arrays = {key: np.concatenate([t[key] for t in trees]) for key in trees[0]}
    sizes = [len(t["is_leaf"]) for t in trees]
    arrays["node_offsets"] = np.concatenate([[0], np.cumsum(sizes)]).astype(np.int64)
    # As a fit leaves it, but with these trees.
    forest._forest = RawForest.from_arrays("regressor", forest._forest_settings, arrays)
    forest._estimators = forest._feature_importances = None
    return forest


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trees", type=int, default=16)
    parser.add_argument("--depth", type=int, default=16)
    args = parser.parse_args()
    forest = large_forest(args.trees, args.depth)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "forest.quor")
        quor.save(forest, path)
        del forest
        size = os.path.getsize(path)
        out = subprocess.run([sys.executable, "-c", CHILD, path], check=True, text=True,
                             stdout=subprocess.PIPE, env=dict(os.environ)).stdout
    before, after, peak = map(int, out.split())
    result = {"file_bytes": size, "rss_before": before, "rss_after": after, "peak": peak,
              "model": after - before, "beyond_model": peak - after,
              "beyond_model_per_file_byte": (peak - after) / size}
    print(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
