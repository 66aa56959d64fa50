"""
A quor forest beside a random forest
====================================

:class:`quor.QUORForestClassifier` averages quor trees, each grown on its own
rows (drawn without replacement) with its own features and candidate
thresholds drawn at every node (:doc:`/guide/forests`). This example fits it
and scikit-learn's ``RandomForestClassifier``, 100 trees each on two threads,
to ``make_hastie_10_2``, whose target (a sphere in ten dimensions) is built
from interactions, and compares their held-out accuracy, as trees are added,
and their fit time.
"""

# %%
# Fit both forests
# ----------------
import time

import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import make_hastie_10_2
from sklearn.ensemble import RandomForestClassifier
from sklearn.model_selection import train_test_split

import quor

X, y = make_hastie_10_2(n_samples=6000, random_state=0)
X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.5, random_state=0)

forests = {
    "quor forest": quor.QUORForestClassifier(n_estimators=100, n_jobs=2, random_state=0),
    "RandomForestClassifier": RandomForestClassifier(n_estimators=100, n_jobs=2,
                                                     random_state=0),
}
fit_seconds = {}
for name, forest in forests.items():
    start = time.perf_counter()
    forest.fit(X_train, y_train)
    fit_seconds[name] = time.perf_counter() - start

# %%
# Held-out accuracy. Both forests are deterministic for a given
# ``random_state``, so these figures do not change from run to run.
for name, forest in forests.items():
    print(f"{name:>22}: accuracy {forest.score(X_test, y_test):.3f}")

# %%
# Fit time, on the machine that built this page (it varies from machine to
# machine and with its load; ``bench/README.md`` of the source tree records
# measured runs on larger data).
for name, seconds in fit_seconds.items():
    print(f"{name:>22}: fit in {seconds:.2f} s")

# %%
# Accuracy as trees are added
# ---------------------------
# A forest's ``predict_proba`` is the mean of its trees'; the trees of both
# are in ``estimators_`` (a quor forest's are :class:`quor.QUORClassifier`
# instances), so the accuracy of the first *k* trees is a running mean.
accuracy = {}
for name, forest in forests.items():
    total = np.zeros((len(X_test), 2))
    curve = []
    for k, tree in enumerate(forest.estimators_, start=1):
        total += tree.predict_proba(X_test)
        curve.append(np.mean(forest.classes_[total.argmax(axis=1)] == y_test))
    accuracy[name] = curve

fig, ax = plt.subplots(figsize=(7, 4))
for name, curve in accuracy.items():
    ax.plot(np.arange(1, len(curve) + 1), curve, label=name)
ax.set_xlabel("trees")
ax.set_ylabel("held-out accuracy")
ax.set_xscale("log")
ax.legend()
fig.tight_layout()
plt.show()

# %%
# On these data a single quor tree of the forest is less accurate than a
# single tree of the random forest: each node scores only four drawn
# thresholds of each feature it searches (``max_thresholds=4``), so the trees
# differ more from one another, and their average gains more from each tree
# added. ``bench/README.md`` compares the two forests on eighteen data sets.
#
# Every tree of the forest is a full quor tree: it can be drawn,
# exported and inspected on its own.
first = forests["quor forest"].estimators_[0]
print(f"first tree: depth {first.get_depth()}, {first.get_n_leaves()} leaves")
