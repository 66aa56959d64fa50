"""
The objective classifier on imbalanced data
===========================================

With ``objective="f1"`` a :class:`quor.QUORClassifier` grows, on three folds
of its rows, a tree split by the gain in F1 (each side predicting whatever
serves F1 best) and one split by Gini, chooses for each the class weights on
``predict_proba`` (with two classes, a threshold) that serve F1 best on the
rows it did not see, and keeps the kind that scored higher, grown on every
row. See :doc:`/guide/objective`.

This example compares, on three sets with 5 %, 3 % and 2 % positives, the F1
of the positive class reached by scikit-learn's tree (unweighted and with
``class_weight="balanced"``), quor's tree split by Gini, and quor's objective
classifier, under five-fold stratified cross-validation. It then shows why
``predict`` and ``predict_proba`` answer different questions.
"""

# %%
# Cross-validated F1
# ------------------
import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import make_classification
from sklearn.metrics import f1_score, roc_auc_score
from sklearn.model_selection import StratifiedKFold, cross_validate, train_test_split
from sklearn.tree import DecisionTreeClassifier

import quor


def dataset(share_negative):
    return make_classification(n_samples=4000, n_features=10, n_informative=4,
                               weights=[share_negative], flip_y=0.01, random_state=0)


models = {
    "scikit-learn tree": DecisionTreeClassifier(random_state=0),
    "scikit-learn tree, balanced": DecisionTreeClassifier(class_weight="balanced",
                                                          random_state=0),
    "quor tree (Gini)": quor.QUORClassifier(),
    'quor, objective="f1"': quor.QUORClassifier(objective="f1"),
    'quor, split by F1 only': quor.QUORClassifier(objective="f1", objective_splits="objective"),
    'quor, split by F1, majority labels': quor.QUORClassifier(
        objective="f1", objective_splits="objective", objective_labels="majority"),
}
sets = {"5 % positives": 0.95, "3 % positives": 0.97, "2 % positives": 0.98}
cv = StratifiedKFold(n_splits=5, shuffle=True, random_state=0)

f1 = {}
for set_name, share in sets.items():
    X, y = dataset(share)
    for model_name, model in models.items():
        scores = cross_validate(model, X, y, cv=cv, scoring="f1")["test_score"]
        f1[set_name, model_name] = scores
        print(f"{set_name}, {model_name:>38}: F1 {scores.mean():.2f} ± {scores.std():.2f}")

# %%
fig, ax = plt.subplots(figsize=(9, 4.5))
width = 0.16
for k, model_name in enumerate(models):
    means = [f1[s, model_name].mean() for s in sets]
    stds = [f1[s, model_name].std() for s in sets]
    ax.bar(np.arange(len(sets)) + (k - 2.5) * width, means, width, yerr=stds, capsize=2,
           label=model_name)
ax.set_xticks(np.arange(len(sets)))
ax.set_xticklabels(list(sets))
ax.set_ylabel("F1 of the positive class (5 folds)")
ax.set_ylim(0, 1)
ax.legend(fontsize="small", loc="upper right", ncol=2)
fig.tight_layout()
plt.show()

# %%
# The printed means show how the kinds compare on these three sets (the
# differences between quor's trees are of the size of one fold-to-fold
# standard deviation; ``bench/README.md`` measures them on nineteen sets).
# The last bar of each group is the rule quor used before the sides' labels
# served the metric (``objective_labels="majority"``, split by F1 only):
# every side predicts its majority, which on imbalanced data is nearly
# always the negative class, so no split gains F1 and the tree stays one
# leaf that never predicts a positive (F1 0).
#
# ``predict`` serves the metric; ``predict_proba`` ranks
# --------------------------------------------------------
# ``predict_proba`` stays each leaf's class shares. ``predict`` is what the
# metric wants (the class of largest ``decision_weights_ * predict_proba``),
# so a row may be predicted positive with a share below one half, and
# ``predict`` is then not the argmax of ``predict_proba``.
X, y = dataset(0.95)
X_train, X_test, y_train, y_test = train_test_split(X, y, stratify=y, random_state=0)
objective = quor.QUORClassifier(objective="f1").fit(X_train, y_train)
labels = objective.predict(X_test)
share = objective.predict_proba(X_test)[:, 1]
print(f"test rows predicted positive: {np.sum(labels == 1)}, "
      f"of which with a positive share below 0.5: {np.sum((labels == 1) & (share < 0.5))}")
print(f"F1 of predict: {f1_score(y_test, labels):.2f}; "
      f"F1 of the argmax of predict_proba: {f1_score(y_test, share > 0.5):.2f}")

# %%
# For a ranking metric such as ROC AUC, pass ``predict_proba``: the labels
# of ``predict`` are only two values and throw the ranking away.
print(f"ROC AUC from predict_proba: {roc_auc_score(y_test, share):.2f}; "
      f"from predict: {roc_auc_score(y_test, labels):.2f}")
