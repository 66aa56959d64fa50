"""
A tree, and the scores that chose its root
==========================================

A quor tree is read like any decision tree: :func:`quor.plot_tree` draws it
and :func:`quor.export_text` prints it. What differs is how each split was
chosen: the node's rows were dealt into ``cv_folds`` folds, every candidate
split was scored once per fold, and the candidate with the best *aggregated*
fold score won (see :doc:`/guide/splits`).

This example fits a small tree to the breast cancer data, draws it, and then
looks at the root: the best aggregated score each feature reached there, and
how the choice of aggregator changes which feature wins.
"""

# %%
# A tree of depth 3
# -----------------
import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import load_breast_cancer

import quor

X, y = load_breast_cancer(return_X_y=True, as_frame=True)
clf = quor.QUORClassifier(max_depth=3).fit(X, y)

fig, ax = plt.subplots(figsize=(13, 6))
quor.plot_tree(clf, ax=ax, class_names=["malignant", "benign"])
plt.show()

# %%
# The same tree as text. A split prints as ``x < t``; its right branch is
# ``x >= t or missing``, since a split learns where missing values go and
# these data have none (they go right).
print(quor.export_text(clf, class_names=["malignant", "benign"]))

# %%
# What the root compared
# ----------------------
# The estimators do not report every candidate's fold scores, but the native
# core reports, for each split, the aggregated score it won with
# (``split_scores`` of the raw classes, see :doc:`/raw`). A one-split tree
# grown on a single column is the root's search restricted to that column:
# the folds are the same (they are drawn from the rows, not the features),
# so its score is the best that column reached at the root of the full tree.
#
# We do this for every column and three aggregators: the mean of the five
# fold scores (the default), their median, and the mean less one standard
# deviation, which prefers candidates whose folds agree.
x = np.ascontiguousarray(X.to_numpy(dtype=np.float64))
codes = y.to_numpy(dtype=np.int64)
names = np.array(X.columns)


def root_scores(aggregator):
    """The best aggregated score of each column at the root."""
    scores = []
    for j in range(x.shape[1]):
        stump = quor.RawClassifier(
            n_classes=2, criterion="gini", max_depth=1, min_samples_split=2,
            min_samples_leaf=1, min_impurity_decrease=0.0, n_bins=8, cv_folds=5,
            cv_seed=42, cv_shuffle=True, mode="strict", split_style="threshold",
            aggregator=aggregator, agg_frac=0.2, agg_eps=1e-12, agg_lambda=1.0,
            parallel=False, n_threads=1, parallel_min_samples=512, categorical=[])
        stump.fit(np.ascontiguousarray(x[:, [j]]), codes)
        scores.append(stump.split_scores()[0])
    return np.array(scores)


aggregators = ["mean", "median", "mean_minus_lambda_std"]
scores = {a: root_scores(a) for a in aggregators}

# %%
# The winner of each aggregator is the feature that the estimator, fitted with
# that aggregator, puts at its root:
for a in aggregators:
    root = quor.QUORClassifier(max_depth=1, aggregator=a).fit(X, y).tree_.feature[0]
    best = int(np.argmax(scores[a]))
    print(f"{a:>22}: best column {names[best]!r} (score {scores[a][best]:.3f}); "
          f"the estimator's root splits on {names[root]!r}")

# %%
# The ten columns with the highest mean score, under each aggregator. The
# mean and the lower bound agree on *worst concave points*; the median, the
# middle one of the five fold scores, prefers *mean concave points*.
order = np.argsort(scores["mean"])[::-1][:10]
fig, ax = plt.subplots(figsize=(8, 5))
height = 0.27
for k, a in enumerate(aggregators):
    ax.barh(np.arange(10) + (k - 1) * height, scores[a][order], height=height, label=a)
ax.set_yticks(np.arange(10))
ax.set_yticklabels(names[order])
ax.invert_yaxis()
ax.set_xlabel("best aggregated fold score at the root (Gini decrease)")
ax.set_xlim(0.2, None)
ax.legend(title="aggregator", loc="lower right")
fig.tight_layout()
plt.show()

# %%
# The scores are close: several columns of these data separate the classes
# about as well. Which one wins the root is decided by how the fold scores
# are summarised, and a summary that distrusts disagreeing folds
# (``mean_minus_lambda_std``, ``signal_to_noise``) picks the split that held
# up on every fold rather than the one that did best on average.
