"""
Held-out importances and a column of noise
==========================================

A tree's usual feature importance sums, over the splits on a feature, how much
each split lowered the impurity of the rows it was chosen on. A column of pure
noise with a distinct value in every row offers a split that fits the node's
rows a little in every node, so it earns importance it does not deserve.

quor's ``feature_importances_`` measure each split on rows that did not choose
it: at every split, each fold takes the candidate the *other* folds prefer and
measures it on its own rows (see :doc:`/guide/importances`). This example adds
a noise column to data with three informative columns and compares that
measure with the impurity importances of scikit-learn's tree.
"""

# %%
# Data: three informative columns, two uninformative ones, and noise
# -------------------------------------------------------------------
# ``make_classification`` with ``shuffle=False`` puts the informative columns
# first. The last column is a permutation of ``0 .. n - 1``: every value
# distinct, unrelated to the class.
import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import make_classification
from sklearn.tree import DecisionTreeClassifier

import quor

X, y = make_classification(n_samples=1500, n_features=5, n_informative=3, n_redundant=0,
                           flip_y=0.1, shuffle=False, random_state=0)
names = ["informative 1", "informative 2", "informative 3", "uninformative 1",
         "uninformative 2", "noise"]


def with_noise(seed):
    rng = np.random.default_rng(seed)
    return np.column_stack([X, rng.permutation(len(X)).astype(np.float64)])


# %%
# One draw of the noise column
# ----------------------------
# Three measures of the same data: quor's held-out importances, quor's
# earlier measure (``split_score_importances_``: each split's winning
# aggregated score), and scikit-learn's impurity importances of a tree grown
# to its default (full) depth.
Xn = with_noise(0)
tree = quor.QUORClassifier().fit(Xn, y)
reference = DecisionTreeClassifier(random_state=0).fit(Xn, y)
measures = {
    "quor: held out (feature_importances_)": tree.feature_importances_,
    "quor: split scores (split_score_importances_)": tree.split_score_importances_,
    "scikit-learn tree: impurity": reference.feature_importances_,
}

fig, ax = plt.subplots(figsize=(8, 4.5))
height = 0.27
for k, (label, values) in enumerate(measures.items()):
    ax.barh(np.arange(len(names)) + (k - 1) * height, values, height=height, label=label)
ax.set_yticks(np.arange(len(names)))
ax.set_yticklabels(names)
ax.invert_yaxis()
ax.set_xlabel("importance (each measure sums to 1)")
ax.legend(loc="lower right", fontsize="small")
fig.tight_layout()
plt.show()

# %%
# Five draws of the noise column
# ------------------------------
# The share each measure gives the noise column, over five draws (five
# different permutations; the other columns stay the same).
noise = {label: [] for label in measures}
for seed in range(5):
    Xn = with_noise(seed)
    tree = quor.QUORClassifier().fit(Xn, y)
    reference = DecisionTreeClassifier(random_state=0).fit(Xn, y)
    noise["quor: held out (feature_importances_)"].append(tree.feature_importances_[-1])
    noise["quor: split scores (split_score_importances_)"].append(
        tree.split_score_importances_[-1])
    noise["scikit-learn tree: impurity"].append(reference.feature_importances_[-1])

for label, values in noise.items():
    print(f"{label:>46}: noise column {np.mean(values):.3f} on average, "
          f"{np.max(values):.3f} at most")

# %%
# The held-out measure gives the noise column least. A split on noise can
# still win a node (the winner is the best of many candidates, and some
# candidate fits the folds by chance), but measured on a fold that did not
# take part in choosing it, it predicts no better than the node did, and
# earns about nothing. The informative columns keep nearly all the
# importance.
#
# A forest measures its importances differently, on the rows each of its
# trees did not draw (:doc:`/guide/importances`).
