#!/usr/bin/env python3
"""Held-out scores of quor's estimators and scikit-learn's trees.

Five-fold cross-validation (the scores of ``cross_val_score``; ``cross_validate``
is used so that the fit times come along) of QUORClassifier / QUORRegressor
with their defaults and in fast mode, and of scikit-learn's trees with their
defaults and with quor's default depth, on the data sets that ship with
scikit-learn and on noisy synthetic data.  Every model sees the same folds.
Scores: accuracy for classification, R² for regression.  Then the importance
that each classifier gives to an added column of pure noise with a distinct
value in every row.  Then, on imbalanced data (5 % and 1 % positives, and
breast cancer with its malignant class cut to about 10 %), the balanced
accuracy and F1 of the positive (minority) class of quor's tree and forest
unweighted and with ``class_weight="balanced"``, and of quor's tree with the
F1 objective (unweighted and balanced), beside scikit-learn's tree and forest with
``class_weight="balanced"``.  Prints Markdown.

    PYTHONPATH=python /usr/bin/python3 bench/quality.py [--quick] [--json FILE]

With ``--importances`` it prints instead the importance measurements: the
importance of one added noise column (continuous, or of four values) on
several data sets, the share of all importance on twenty added noise
columns on small data, and the share of the top-k columns that are truly
informative on synthetic data, for quor's trees and forests (both their
held-out ``feature_importances_`` and their ``split_score_importances_``)
against scikit-learn's trees and random forests (impurity importances) and
the random forest's ``permutation_importance`` on a held-out quarter.

With ``--imbalanced`` it prints instead the table of the objective
classifier on imbalanced data: the held-out F1 of the positive class (macro
F1 for the multiclass set, which is also the objective there) of quor's
objective tree and forest against quor's Gini tree and forest, each also with
its decision threshold tuned on the training folds, scikit-learn's tree and
forest with ``class_weight="balanced"``, and HistGradientBoostingClassifier.

With ``--categories`` it prints the tables of categorical features with many
values (8, 30, 100 and 1 000 categories; binary, multiclass and regression
targets; ``category_data``): quor's tree and forest with one-category and set
splits against scikit-learn's tree and RandomForest on one-hot columns and
HistGradientBoosting with native categories (at most 255), with fit times.
"""

import argparse
import json
import os
import pathlib
import sys
import warnings

import numpy as np

import bench

N_FOLDS = 5
SEED = 0
SYNTHETIC_SAMPLES = 5000
QUICK_SYNTHETIC_SAMPLES = 400
NOISE_DRAWS = 5


def datasets(quick=False):
    """(name, task, x, y) for every data set."""
    from sklearn import datasets as sk

    n_synthetic = QUICK_SYNTHETIC_SAMPLES if quick else SYNTHETIC_SAMPLES
    out = []
    for name, load in (("breast cancer", sk.load_breast_cancer), ("wine", sk.load_wine),
                       ("digits", sk.load_digits), ("iris", sk.load_iris)):
        x, y = load(return_X_y=True)
        out.append((name, "classification", x, y))
    x, y = sk.load_diabetes(return_X_y=True)
    out.append(("diabetes", "regression", x, y))
    x, y = sk.make_classification(n_samples=n_synthetic, n_features=bench.N_FEATURES,
                                  n_informative=bench.N_INFORMATIVE, flip_y=0.2,
                                  random_state=SEED)
    out.append(("synthetic, flip_y 0.2", "classification", x, y))
    x, y = sk.make_regression(n_samples=n_synthetic, n_features=bench.N_FEATURES,
                              n_informative=bench.N_INFORMATIVE, noise=50.0, random_state=SEED)
    out.append(("synthetic, noise 50", "regression", x, y))
    if quick:  # the small ones, and the synthetic pair
        out = [d for d in out if d[0] in ("iris", "diabetes") or d[0].startswith("synthetic")]
    return out


def models(task):
    """Name -> unfitted estimator, in table order."""
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    from quor import QUORClassifier, QUORRegressor

    quor_cls, sk_cls = ((QUORClassifier, DecisionTreeClassifier) if task == "classification"
                        else (QUORRegressor, DecisionTreeRegressor))
    depth = quor_cls().max_depth  # quor's default depth, matched by one scikit-learn tree
    return {
        "quor (defaults)": quor_cls(),
        "quor fast": quor_cls(mode="fast"),
        "scikit-learn (defaults)": sk_cls(random_state=SEED),
        f"scikit-learn (max_depth {depth})": sk_cls(max_depth=depth, random_state=SEED),
    }


def evaluate(quick=False, progress=None):
    from sklearn.model_selection import KFold, StratifiedKFold, cross_validate

    say = progress or (lambda message: None)
    results = {"machine": bench.machine_info(), "load_start": list(os.getloadavg()),
               "n_folds": N_FOLDS, "rows": []}
    for name, task, x, y in datasets(quick):
        splitter = (StratifiedKFold if task == "classification" else KFold)(
            N_FOLDS, shuffle=True, random_state=SEED)
        scoring = "accuracy" if task == "classification" else "r2"
        row = {"dataset": name, "task": task, "n_samples": len(y), "n_features": x.shape[1],
               "metric": scoring, "models": {}}
        for model_name, model in models(task).items():
            say(f"{name}: {model_name}")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                cv = cross_validate(model, x, y, cv=splitter, scoring=scoring,
                                    error_score="raise")
            row["models"][model_name] = {
                "scores": cv["test_score"].tolist(),
                "mean": float(np.mean(cv["test_score"])),
                "std": float(np.std(cv["test_score"])),
                "fit_s": float(np.mean(cv["fit_time"])),
            }
        results["rows"].append(row)
    say("held-out importances of a noise column")
    results["noise"] = noise_importances(quick)
    results["imbalanced"] = imbalanced(quick, say)
    results["load_end"] = list(os.getloadavg())
    return results


def noise_importances(quick=False):
    """Importance of an added pure-noise column, a distinct value in every row.

    For each data set, NOISE_DRAWS noise columns (permutations of 0..n-1)
    are added in turn as the last feature and every classifier is fitted on
    all rows; the row holds the mean importance of the noise column and its
    median rank among all features (1 = most important).
    """
    from sklearn import datasets as sk
    from sklearn.tree import DecisionTreeClassifier

    from quor import QUORClassifier

    n_synthetic = QUICK_SYNTHETIC_SAMPLES if quick else SYNTHETIC_SAMPLES
    sets = [("breast cancer", *sk.load_breast_cancer(return_X_y=True)),
            ("synthetic, flip_y 0.2", *sk.make_classification(
                n_samples=n_synthetic, n_features=bench.N_FEATURES,
                n_informative=bench.N_INFORMATIVE, flip_y=0.2, random_state=SEED)),
            ("synthetic, 3 of 5 informative, flip_y 0.3", *sk.make_classification(
                n_samples=n_synthetic // 2, n_features=5, n_informative=3, n_redundant=0,
                flip_y=0.3, random_state=SEED))]
    models = {"quor (defaults)": lambda: QUORClassifier(),
              "scikit-learn (defaults)": lambda: DecisionTreeClassifier(random_state=SEED),
              "scikit-learn (max_depth 8)":
                  lambda: DecisionTreeClassifier(max_depth=8, random_state=SEED)}
    rng = np.random.default_rng(SEED)
    rows = []
    for name, x, y in sets:
        noises = [rng.permutation(len(y)).astype(np.float64) for _ in range(NOISE_DRAWS)]
        row = {"dataset": name, "n_samples": len(y), "n_features": x.shape[1] + 1, "models": {}}
        for model_name, make in models.items():
            shares, ranks = [], []
            for noise in noises:
                importances = make().fit(np.column_stack([x, noise]), y).feature_importances_
                shares.append(float(importances[-1]))
                ranks.append(int(1 + np.sum(importances > importances[-1])))
            row["models"][model_name] = {"mean": float(np.mean(shares)),
                                         "median_rank": float(np.median(ranks))}
        rows.append(row)
    return rows


def imbalanced_datasets(quick=False):
    """(name, x, y) of imbalanced binary data sets, the minority class labelled 1."""
    from sklearn import datasets as sk

    out = []
    for share, n in ((0.05, 3000), (0.01, 5000)):
        if quick and share < 0.05:
            continue
        x, y = sk.make_classification(
            n_samples=400 if quick else n, n_features=bench.N_FEATURES,
            n_informative=bench.N_INFORMATIVE, weights=[1 - share], flip_y=0.01,
            random_state=SEED)
        out.append((f"synthetic, {share:.0%} positives", x, y))
    if not quick:
        x, y = sk.load_breast_cancer(return_X_y=True)
        y = 1 - y  # malignant (0 in the data set) becomes the positive class
        rng = np.random.default_rng(SEED)
        positives = np.flatnonzero(y == 1)
        n_kept = round(np.count_nonzero(y == 0) / 9)  # about 10 % of the rows kept
        kept = np.sort(np.r_[np.flatnonzero(y == 0),
                             rng.choice(positives, n_kept, replace=False)])
        out.append(("breast cancer, malignant cut to 10 %", x[kept], y[kept]))
    return out


def imbalanced_models(quick=False):
    from sklearn.ensemble import RandomForestClassifier
    from sklearn.tree import DecisionTreeClassifier

    from quor import QUORClassifier, QUORForestClassifier

    n_trees = 20 if quick else 100
    return {
        "quor tree": QUORClassifier(),
        "quor tree, balanced": QUORClassifier(class_weight="balanced"),
        "quor tree, F1 objective": QUORClassifier(objective="f1"),
        "quor tree, F1 objective, balanced": QUORClassifier(objective="f1",
                                                            class_weight="balanced"),
        "quor forest": QUORForestClassifier(n_estimators=n_trees, random_state=SEED),
        "quor forest, balanced": QUORForestClassifier(n_estimators=n_trees, random_state=SEED,
                                                      class_weight="balanced"),
        "scikit-learn tree, balanced": DecisionTreeClassifier(class_weight="balanced",
                                                              random_state=SEED),
        "scikit-learn forest, balanced": RandomForestClassifier(
            n_estimators=n_trees, class_weight="balanced", random_state=SEED),
    }


def imbalanced(quick=False, say=lambda message: None):
    """Balanced accuracy and F1 of the minority class, 5-fold stratified, every model
    on the same folds."""
    from sklearn.model_selection import StratifiedKFold, cross_validate

    rows = []
    for name, x, y in imbalanced_datasets(quick):
        folds = StratifiedKFold(N_FOLDS, shuffle=True, random_state=SEED)
        row = {"dataset": name, "n_samples": len(y), "n_features": x.shape[1],
               "positives": int(np.count_nonzero(y == 1)), "models": {}}
        for model_name, model in imbalanced_models(quick).items():
            say(f"{name}: {model_name}")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                cv = cross_validate(model, x, y, cv=folds, error_score="raise",
                                    scoring=("balanced_accuracy", "f1"))
            row["models"][model_name] = {
                metric: {"mean": float(np.mean(cv[f"test_{metric}"])),
                         "std": float(np.std(cv[f"test_{metric}"]))}
                for metric in ("balanced_accuracy", "f1")}
        rows.append(row)
    return rows


def _imbalanced_tables(rows):
    names = list(rows[0]["models"])
    lines = []
    for metric, title in (("balanced_accuracy", "Balanced accuracy"),
                          ("f1", "F1 of the positive (minority) class")):
        lines += ["", f"{title}, imbalanced data, mean ± standard deviation over {N_FOLDS} "
                  "stratified folds; the best mean of a row is in bold:", ""]
        table = []
        for row in rows:
            best = max(m[metric]["mean"] for m in row["models"].values())
            cells = [row["dataset"], f"{row['n_samples']} × {row['n_features']}",
                     str(row["positives"])]
            for name in names:
                m = row["models"][name][metric]
                text = f"{m['mean']:.3f} ± {m['std']:.3f}"
                cells.append(f"**{text}**" if m["mean"] == best else text)
            table.append(cells)
        lines.append(bench.render_table(["data set", "samples × features", "positives"] + names,
                                        table, markdown=True,
                                        align=list("lll") + ["r"] * len(names)))
    return lines


def machine_lines(results):
    """The lines that open a report: the machine, its load and the build."""
    return ["  \n".join(bench.describe_machine(results["machine"], results["load_start"],
                                              results["load_end"])), ""]


def format_report(results):
    names = list(results["rows"][0]["models"]) if results["rows"] else []
    lines = machine_lines(results)
    lines.append(f"Held-out score, mean ± standard deviation over {results['n_folds']} folds "
                 "(accuracy for classification, R² for regression); the best mean of a "
                 "row is in bold.")
    lines.append("")
    rows = []
    for row in results["rows"]:
        best = max(m["mean"] for m in row["models"].values())
        cells = [row["dataset"], f"{row['n_samples']} × {row['n_features']}", row["metric"]]
        for name in names:
            m = row["models"][name]
            text = f"{m['mean']:.3f} ± {m['std']:.3f}"
            cells.append(f"**{text}**" if m["mean"] == best else text)
        rows.append(cells)
    lines.append(bench.render_table(["data set", "samples × features", "score"] + names, rows,
                                    markdown=True, align=list("lll") + ["r"] * len(names)))
    lines += ["", "Mean fit time per fold, milliseconds:", ""]
    rows = [[row["dataset"]] + [f"{row['models'][name]['fit_s'] * 1e3:.1f}" for name in names]
            for row in results["rows"]]
    lines.append(bench.render_table(["data set"] + names, rows, markdown=True))
    if results.get("noise"):
        noise_names = list(results["noise"][0]["models"])
        lines += ["", f"Importance of an added column of pure noise (a distinct value in every "
                  f"row), mean over {NOISE_DRAWS} draws, with its median rank among the "
                  "features (1 = most important); models fitted on all rows:", ""]
        rows = []
        for row in results["noise"]:
            cells = [row["dataset"], f"{row['n_samples']} × {row['n_features']}"]
            cells += [f"{m['mean']:.4f} (rank {m['median_rank']:g})"
                      for m in row["models"].values()]
            rows.append(cells)
        lines.append(bench.render_table(["data set", "samples × features"] + noise_names, rows,
                                        markdown=True, align=list("ll") + ["r"] * len(noise_names)))
    if results.get("imbalanced"):
        lines += _imbalanced_tables(results["imbalanced"])
    return "\n".join(lines)


# -- the objective classifier on imbalanced data -------------------------------------

IMBALANCED_TREES = 30  # trees per forest by default (--trees): the machine's two cores are shared
# The sets on which the objective rule and the forests' vote were chosen; the
# others report.
TUNED_ON = ("5 % positives", "10 % positives", "20 % positives")
# Sets made after the decision on held-out folds was chosen (marked †): they
# only report.
UNSEEN = ("10 %, class_sep 0.5", "outside a sphere, 15 %", "5 %, flip_y 0.05",
          "2 %, 30 columns", "15 %, 3 clusters per class",
          "4 classes, 10 % and 5 % rare, macro F1", "10 %, F2")


def objective_datasets(quick=False):
    """(name, x, y, objective settings) of every imbalanced set."""
    from sklearn import datasets as sk

    out = []
    for share, n in ((0.01, 5000), (0.05, 5000), (0.10, 4000), (0.20, 4000), (0.30, 4000)):
        for flip in (0.0, 0.1):
            x, y = sk.make_classification(n_samples=400 if quick else n, n_features=15,
                                          n_informative=5, weights=[1 - share], flip_y=flip,
                                          random_state=SEED)
            name = f"{share:.0%} positives".replace("%", " %") + (f", flip_y {flip}" if flip else "")
            out.append((name, x, y, {"objective": "f1"}))
    x, y = sk.make_classification(n_samples=400 if quick else 4000, n_features=15,
                                  n_informative=5, n_classes=3, n_clusters_per_class=1,
                                  weights=[0.6, 0.35, 0.05], random_state=SEED)
    out.append(("3 classes, 5 % rare, macro F1", x, y, {"objective": "f1", "average": "macro"}))
    x, y = sk.load_breast_cancer(return_X_y=True)
    rng = np.random.default_rng(SEED)
    keep = np.flatnonzero(y == 1)
    keep = np.concatenate([keep, rng.choice(np.flatnonzero(y == 0), 36, replace=False)])
    x, y = x[np.sort(keep)], 1 - y[np.sort(keep)]  # malignant (now 1) subsampled to 9 %
    out.append(("breast cancer, 9 % malignant", x, y, {"objective": "f1"}))
    out += _unseen_datasets()
    if quick:
        out = [d for d in out if d[0] in ("20 % positives", "3 classes, 5 % rare, macro F1")]
    return out


def _unseen_datasets():
    from sklearn import datasets as sk

    out = []
    x, y = sk.make_classification(n_samples=4000, n_features=15, n_informative=5, weights=[0.9],
                                  class_sep=0.5, random_state=7)
    out.append(("10 %, class_sep 0.5", x, y, {"objective": "f1"}))
    x, _ = sk.make_hastie_10_2(n_samples=4000, random_state=7)
    radius = (x ** 2).sum(axis=1)
    y = (radius > np.quantile(radius, 0.85)).astype(int)
    out.append(("outside a sphere, 15 %", x, y, {"objective": "f1"}))
    x, y = sk.make_classification(n_samples=5000, n_features=15, n_informative=5, weights=[0.95],
                                  flip_y=0.05, random_state=7)
    out.append(("5 %, flip_y 0.05", x, y, {"objective": "f1"}))
    x, y = sk.make_classification(n_samples=5000, n_features=30, n_informative=8, weights=[0.98],
                                  random_state=8)
    out.append(("2 %, 30 columns", x, y, {"objective": "f1"}))
    x, y = sk.make_classification(n_samples=4000, n_features=20, n_informative=10, weights=[0.85],
                                  n_clusters_per_class=3, random_state=9)
    out.append(("15 %, 3 clusters per class", x, y, {"objective": "f1"}))
    x, y = sk.make_classification(n_samples=4000, n_features=15, n_informative=6, n_classes=4,
                                  n_clusters_per_class=1, weights=[0.55, 0.3, 0.1, 0.05],
                                  random_state=10)
    out.append(("4 classes, 10 % and 5 % rare, macro F1", x, y,
                {"objective": "f1", "average": "macro"}))
    x, y = sk.make_classification(n_samples=4000, n_features=15, n_informative=5, weights=[0.9],
                                  random_state=11)
    out.append(("10 %, F2", x, y, {"objective": "fbeta", "beta": 2.0}))
    return out


def _metric(y, predicted, average, beta=1.0):
    from sklearn.metrics import fbeta_score

    return fbeta_score(y, predicted, beta=beta, average=average, zero_division=0)


class ThresholdTuned:
    """A classifier whose predict chooses the class of largest ``weights * predict_proba``,
    the weights tuned for the metric on 3-fold cross-validated predictions of the
    training rows (for two classes: a threshold on the positive class's share)."""

    def __init__(self, estimator, average, beta=1.0):
        self.estimator, self.average, self.beta = estimator, average, beta

    def get_params(self, deep=False):
        return {"estimator": self.estimator, "average": self.average, "beta": self.beta}

    def fit(self, x, y):
        from sklearn.base import clone
        from sklearn.model_selection import StratifiedKFold, cross_val_predict

        inner = StratifiedKFold(3, shuffle=True, random_state=SEED)
        proba = cross_val_predict(clone(self.estimator), x, y, cv=inner, method="predict_proba")
        self.classes_ = np.unique(y)
        self.weights_ = np.ones(len(self.classes_))
        grid = 2.0 ** np.arange(-6, 6.5, 0.25)
        best = _metric(y, self._decide(proba), self.average, self.beta)
        for _ in range(2):
            for c in range(1 if len(self.classes_) == 2 else 0, len(self.classes_)):
                for w in grid:
                    trial = self.weights_.copy()
                    trial[c] = w
                    score = _metric(y, self._decide(proba, trial), self.average, self.beta)
                    if score > best:
                        best, self.weights_ = score, trial
        self.fitted_ = clone(self.estimator).fit(x, y)
        return self

    def _decide(self, proba, weights=None):
        weights = self.weights_ if weights is None else weights
        return self.classes_.take(np.argmax(proba * weights, axis=1))

    def predict(self, x):
        return self._decide(self.fitted_.predict_proba(x))


def objective_models(settings, trees=IMBALANCED_TREES):
    from sklearn.ensemble import HistGradientBoostingClassifier, RandomForestClassifier
    from sklearn.tree import DecisionTreeClassifier

    from quor import QUORClassifier, QUORForestClassifier

    average = "binary" if settings.get("average", "binary") == "binary" else settings["average"]
    beta = settings.get("beta", 1.0)
    forest = {"n_estimators": trees, "random_state": SEED}
    by_objective = dict(settings, objective_splits="objective")
    return {
        "quor objective tree": QUORClassifier(**settings),
        "quor objective tree, objective splits": QUORClassifier(**by_objective),
        "quor objective tree, majority labels": QUORClassifier(**by_objective,
                                                               objective_labels="majority"),
        "quor objective tree, objective splits, tuned": ThresholdTuned(
            QUORClassifier(**by_objective), average, beta),
        "quor Gini tree": QUORClassifier(),
        "quor Gini tree, tuned": ThresholdTuned(QUORClassifier(), average, beta),
        "quor objective forest": QUORForestClassifier(**settings, **forest),
        "quor objective forest, out-of-bag decision": QUORForestClassifier(
            **settings, **forest, decision_folds=None),
        "quor Gini forest": QUORForestClassifier(**forest),
        "quor Gini forest, tuned": ThresholdTuned(QUORForestClassifier(**forest), average, beta),
        "scikit-learn tree, balanced": DecisionTreeClassifier(class_weight="balanced",
                                                              random_state=SEED),
        "scikit-learn forest, balanced": RandomForestClassifier(class_weight="balanced",
                                                                **forest),
        "HistGradientBoosting": HistGradientBoostingClassifier(random_state=SEED),
    }


def evaluate_imbalanced(quick=False, progress=None, only=None, trees=IMBALANCED_TREES):
    from sklearn.model_selection import StratifiedKFold

    say = progress or (lambda message: None)
    results = {"machine": bench.machine_info(), "load_start": list(os.getloadavg()),
               "n_folds": N_FOLDS, "trees": trees, "rows": []}
    splitter = StratifiedKFold(N_FOLDS, shuffle=True, random_state=SEED)
    for name, x, y, settings in objective_datasets(quick):
        average = settings.get("average", "binary")
        beta = settings.get("beta", 1.0)
        row = {"dataset": name, "n_samples": len(y), "n_features": x.shape[1],
               "average": average, "tuned_on": name in TUNED_ON, "unseen": name in UNSEEN,
               "models": {}}
        for model_name, model in objective_models(settings, trees).items():
            if only and model_name not in only:
                continue
            say(f"{name}: {model_name}")
            scores, leaves = [], []
            for train, test in splitter.split(x, y):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    fitted = model.fit(x[train], y[train])
                    scores.append(float(_metric(y[test], fitted.predict(x[test]), average, beta)))
                if hasattr(fitted, "get_n_leaves") and "quor" in model_name:
                    leaves.append(fitted.get_n_leaves())
            row["models"][model_name] = {"scores": scores, "mean": float(np.mean(scores)),
                                         "leaves": float(np.mean(leaves)) if leaves else None}
        results["rows"].append(row)
    results["load_end"] = list(os.getloadavg())
    return results


def format_imbalanced(results):
    names = list(results["rows"][0]["models"]) if results["rows"] else []
    lines = machine_lines(results)
    lines.append(f"Held-out objective (F1 of the positive class; macro F1 on the multiclass sets, "
                 f"F2 on the F2 set), mean over {results['n_folds']} stratified folds; forests of "
                 f"{results.get('trees', IMBALANCED_TREES)} trees; in brackets a single tree's "
                 "mean leaf count. Sets marked * are those the objective rule was chosen on; "
                 "sets marked † were made after the decision on held-out folds was chosen.")
    lines.append("")
    rows = []
    for row in results["rows"]:
        cells = [row["dataset"] + (" *" if row["tuned_on"] else "")
                 + (" †" if row.get("unseen") else ""),
                 f"{row['n_samples']} × {row['n_features']}"]
        for name in names:
            m = row["models"][name]
            text = f"{m['mean']:.3f}"
            if m["leaves"] is not None:
                text += f" ({m['leaves']:.0f})"
            cells.append(text)
        rows.append(cells)
    lines.append(bench.render_table(["data set", "samples × features"] + names, rows,
                                    markdown=True, align=list("ll") + ["r"] * len(names)))
    return "\n".join(lines)


# -- the single tree's defaults ------------------------------------------------------

# The grid of the tuned scikit-learn tree: 54 settings, 5 inner folds.
SK_GRID = {"max_depth": [3, 4, 6, 8, 12, None], "min_samples_leaf": [1, 5, 20],
           "ccp_alpha": [0, 0.001, 0.01]}
# Settings of quor's tree measured beside its defaults: the best of a sweep
# over mode, bins, depth, folds, leaf size and aggregator on half "A" of the
# suite (bench/README.md says how it went on half "B").
DEFAULTS_CANDIDATES = {
    "quor, earlier defaults (strict, 8 bins, depth 8, 5 folds, leaf 1, edges)":
        dict(mode="strict", n_bins=8, max_depth=8, cv_folds=5, min_samples_leaf=1,
             threshold_placement="edge"),
}


def _with_missing(x, rng, fraction):
    x = x.copy()
    x[rng.random(x.shape) < fraction] = np.nan
    return x


def defaults_datasets(quick=False):
    """(name, half, task, x, y): half "A" chose settings, half "B" only reports."""
    from sklearn import datasets as sk

    out = []
    add = lambda name, half, task, xy: out.append((name, half, task) + tuple(xy))  # noqa: E731
    add("breast cancer", "A", "classification", sk.load_breast_cancer(return_X_y=True))
    add("digits", "A", "classification", sk.load_digits(return_X_y=True))
    add("diabetes", "A", "regression", sk.load_diabetes(return_X_y=True))
    add("hastie 10.2", "A", "classification", sk.make_hastie_10_2(n_samples=6000, random_state=1))
    add("friedman1", "A", "regression", sk.make_friedman1(n_samples=2000, noise=1.0, random_state=1))
    add("16 of 20 columns uninformative", "A", "classification", sk.make_classification(
        n_samples=3000, n_features=20, n_informative=4, n_redundant=0, flip_y=0.05, random_state=1))
    x, y = sk.make_classification(n_samples=3000, n_features=10, n_informative=5, flip_y=0.05,
                                  random_state=2)
    add("10 % missing at random", "A", "classification", (_with_missing(x, np.random.default_rng(1), 0.1), y))
    add("wine", "B", "classification", sk.load_wine(return_X_y=True))
    add("iris", "B", "classification", sk.load_iris(return_X_y=True))
    add("synthetic, flip_y 0.2", "B", "classification", sk.make_classification(
        n_samples=5000, n_features=20, n_informative=5, flip_y=0.2, random_state=0))
    add("synthetic, noise 50", "B", "regression", sk.make_regression(
        n_samples=5000, n_features=20, n_informative=5, noise=50.0, random_state=0))
    add("friedman3", "B", "regression", sk.make_friedman3(n_samples=2000, noise=0.1, random_state=3))
    add("two moons", "B", "classification", sk.make_moons(n_samples=3000, noise=0.3, random_state=3))
    rng = np.random.default_rng(3)
    x = rng.uniform(-1, 1, size=(4000, 6))
    y = ((x[:, 0] > 0) ^ (x[:, 1] > 0)).astype(int)
    flip = rng.random(4000) < 0.05
    y[flip] = 1 - y[flip]
    add("XOR, 4 noise columns", "B", "classification", (x, y))
    rng = np.random.default_rng(4)
    x = rng.normal(size=(4000, 8))
    y = (x[:, 0] + x[:, 1] > 0).astype(int)
    missing = rng.random(4000) < 0.15  # column 2 missing says "1" nine times in ten
    x[missing, 2] = np.nan
    y[missing] = rng.random(missing.sum()) < 0.9
    add("informative missing values", "B", "classification", (x, y))
    # Categorical columns (a frame; scikit-learn's trees take them one-hot). Added
    # after the defaults were chosen, from seeds no other table uses.
    rows = 600 if quick else 3000
    for label, task, kind, n_categories in (
            ("8 categories, regression", "regression", "regression", 8),
            ("30 categories, binary", "classification", "binary", 30),
            ("100 categories, 3 classes", "classification", "multiclass", 100)):
        add(label, "B", task, category_data(kind, n_categories, rows, seed=SEED + 100))
    if quick:
        out = [d for d in out if d[0] in ("iris", "diabetes", "8 categories, regression")]
    return out


def imputed(model):
    """``model`` after median imputation with indicator columns: this
    scikit-learn's trees and forests refuse NaN."""
    from sklearn.impute import SimpleImputer
    from sklearn.pipeline import make_pipeline

    return make_pipeline(SimpleImputer(strategy="median", add_indicator=True), model)


def for_sklearn(model, x):
    """``model`` as scikit-learn's trees and forests take x: its categorical
    columns (of a frame) one-hot, or imputed where x has missing values."""
    from sklearn.compose import make_column_transformer
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import OneHotEncoder

    categories = [] if isinstance(x, np.ndarray) else [
        name for name in x.columns if str(x[name].dtype) == "category"]
    if categories:
        return make_pipeline(make_column_transformer(
            (OneHotEncoder(handle_unknown="ignore"), categories), remainder="passthrough"), model)
    return imputed(model) if np.isnan(x).any() else model


def _sk_tree(task, x, tuned):
    """scikit-learn's tree at its defaults or grid-searched (see for_sklearn)."""
    from sklearn.model_selection import GridSearchCV, KFold, StratifiedKFold
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    bare = (DecisionTreeClassifier if task == "classification" else DecisionTreeRegressor)(
        random_state=SEED)
    tree = for_sklearn(bare, x)
    grid = SK_GRID if tree is bare else {
        f"{type(bare).__name__.lower()}__{name}": values for name, values in SK_GRID.items()}
    if not tuned:
        return tree
    inner = (StratifiedKFold if task == "classification" else KFold)(N_FOLDS, shuffle=True,
                                                                    random_state=SEED + 1)
    return GridSearchCV(tree, grid, cv=inner,
                        scoring="accuracy" if task == "classification" else "r2")


def evaluate_defaults(quick=False, progress=None):
    from sklearn.model_selection import KFold, StratifiedKFold, cross_validate

    from quor import QUORClassifier, QUORRegressor

    say = progress or (lambda message: None)
    results = {"machine": bench.machine_info(), "load_start": list(os.getloadavg()),
               "n_folds": N_FOLDS, "rows": []}
    for name, half, task, x, y in defaults_datasets(quick):
        quor_cls = QUORClassifier if task == "classification" else QUORRegressor
        models = {"quor (defaults)": quor_cls()}
        models.update({label: quor_cls(**kw) for label, kw in DEFAULTS_CANDIDATES.items()})
        models["scikit-learn (defaults)"] = _sk_tree(task, x, tuned=False)
        models["scikit-learn (tuned)"] = _sk_tree(task, x, tuned=True)
        splitter = (StratifiedKFold if task == "classification" else KFold)(
            N_FOLDS, shuffle=True, random_state=SEED)
        scoring = "accuracy" if task == "classification" else "r2"
        row = {"dataset": name, "half": half, "task": task, "n_samples": len(y),
               "n_features": x.shape[1], "metric": scoring, "models": {}}
        for model_name, model in models.items():
            say(f"{name}: {model_name}")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                cv = cross_validate(model, x, y, cv=splitter, scoring=scoring, error_score="raise")
            row["models"][model_name] = {"mean": float(np.mean(cv["test_score"])),
                                         "fit_s": float(np.mean(cv["fit_time"]))}
        results["rows"].append(row)
    results["load_end"] = list(os.getloadavg())
    return results


# -- importances: noise columns and informative columns --------------------------------

IMPORTANCE_DRAWS = 5
IMPORTANCE_TREES = 50  # trees per forest, quor's and scikit-learn's alike


def _four_values(rng, n):
    """A noise column with four values."""
    return rng.integers(0, 4, n).astype(np.float64)


def _distinct(rng, n):
    """A continuous noise column: a distinct value in every row."""
    return rng.permutation(n).astype(np.float64)


def importance_sets(quick=False):
    """(name, task, x, y, tree depth) of the noise-column measurements (a), (b)."""
    from sklearn import datasets as sk

    n = QUICK_SYNTHETIC_SAMPLES if quick else SYNTHETIC_SAMPLES
    rng = np.random.default_rng(SEED)
    normal = rng.normal(size=(n * 3 // 5, 5))
    normal_y = (normal[:, 0] + 0.5 * normal[:, 1] + rng.normal(size=len(normal)) > 0).astype(int)
    return [
        ("breast cancer", "classification", *sk.load_breast_cancer(return_X_y=True), 8),
        ("synthetic, flip_y 0.2", "classification", *sk.make_classification(
            n_samples=n, n_features=bench.N_FEATURES, n_informative=bench.N_INFORMATIVE,
            flip_y=0.2, random_state=SEED), 8),
        ("synthetic, 3 of 5 informative, flip_y 0.3", "classification", *sk.make_classification(
            n_samples=n // 2, n_features=5, n_informative=3, n_redundant=0, flip_y=0.3,
            random_state=SEED), 8),
        (f"{len(normal)} rows, 5 normal columns (2 informative), max_depth None",
         "classification", normal, normal_y, None),
        ("diabetes", "regression", *sk.load_diabetes(return_X_y=True), 8),
    ]


def small_sets():
    """(name, task, x, y) on hundreds of rows, for the twenty noise columns (c)."""
    from sklearn import datasets as sk

    x, y = sk.load_breast_cancer(return_X_y=True)
    rng = np.random.default_rng(SEED)
    rows = np.sort(rng.choice(len(y), 300, replace=False))
    return [
        ("breast cancer, 300 rows", "classification", x[rows], y[rows]),
        ("wine", "classification", *sk.load_wine(return_X_y=True)),
        ("diabetes", "regression", *sk.load_diabetes(return_X_y=True)),
        ("synthetic 300 × 10 (5 informative)", "classification", *sk.make_classification(
            n_samples=300, n_features=10, n_informative=5, n_redundant=0, flip_y=0.1,
            random_state=SEED)),
    ]


def recovery_sets():
    """(name, task, x, y, informative columns) whose informative columns are known (d)."""
    from sklearn import datasets as sk

    out = []
    for n in (500, 2000):
        x, y = sk.make_classification(n_samples=n, n_features=20, n_informative=5, n_redundant=0,
                                      n_repeated=0, flip_y=0.1, shuffle=False,
                                      random_state=SEED)
        out.append((f"classification, {n} × 20, 5 informative", "classification", x, y, 5))
        x, y = sk.make_regression(n_samples=n, n_features=20, n_informative=5, noise=20.0,
                                  shuffle=False, random_state=SEED)
        out.append((f"regression, {n} × 20, 5 informative", "regression", x, y, 5))
    return out


def importance_models(task, depth, trees=IMPORTANCE_TREES):
    """name -> (make, kind) for the importance tables; kind "tree" or "forest"."""
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    import quor

    classification = task == "classification"
    tree = quor.QUORClassifier if classification else quor.QUORRegressor
    forest = quor.QUORForestClassifier if classification else quor.QUORForestRegressor
    sk_tree = DecisionTreeClassifier if classification else DecisionTreeRegressor
    sk_forest = RandomForestClassifier if classification else RandomForestRegressor
    return {
        "quor tree": (lambda: tree(max_depth=depth), "tree"),
        "scikit-learn tree": (lambda: sk_tree(random_state=SEED), "tree"),
        "quor forest": (lambda: forest(n_estimators=trees, max_depth=depth,
                                       random_state=SEED, n_jobs=bench.N_THREADS), "forest"),
        "random forest": (lambda: sk_forest(n_estimators=trees, random_state=SEED,
                                            n_jobs=bench.N_THREADS), "forest"),
    }


def _measures(model):
    """The importances a fitted model offers: quor's feature_importances_ (and, for a forest,
    the mean of its trees' held-out ones) and its split-score ones, or scikit-learn's impurity
    ones."""
    out = {"": model.feature_importances_}
    if hasattr(model, "held_out_importances_"):
        out[" (folds)"] = model.held_out_importances_
    if hasattr(model, "split_score_importances_"):
        out[" (split scores)"] = model.split_score_importances_
    return out


def noise_column_importances(quick=False, say=lambda message: None, draws=IMPORTANCE_DRAWS,
                             trees=IMPORTANCE_TREES):
    """(a), (b): the importance of one added noise column, continuous or of four
    values, mean over IMPORTANCE_DRAWS draws, per data set and model."""
    rng = np.random.default_rng(SEED)
    rows = []
    for name, task, x, y, depth in importance_sets(quick):
        row = {"dataset": name, "n_samples": len(y), "n_features": x.shape[1] + 1, "kinds": {}}
        for kind, draw in (("continuous", _distinct), ("four values", _four_values)):
            values = {}
            for model_name, (make, _) in importance_models(task, depth, trees).items():
                say(f"importances: {name}, {kind}, {model_name}")
                for _ in range(draws):
                    noise = draw(rng, len(y))
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore")
                        model = make().fit(np.column_stack([x, noise]), y)
                    for suffix, importances in _measures(model).items():
                        values.setdefault(model_name + suffix, []).append(float(importances[-1]))
            row["kinds"][kind] = {k: float(np.mean(v)) for k, v in values.items()}
        rows.append(row)
    return rows


def _permutation(model, x_test, y_test):
    from sklearn.inspection import permutation_importance

    return permutation_importance(model, x_test, y_test, n_repeats=5, random_state=SEED,
                                  n_jobs=1).importances_mean


def noise_share(say=lambda message: None, draws=IMPORTANCE_DRAWS, trees=IMPORTANCE_TREES):
    """(c): the share of all importance on twenty added noise columns (ten continuous,
    ten of four values), mean over IMPORTANCE_DRAWS draws; permutation importance of
    the random forest on a held-out quarter (negative means clipped at 0)."""
    from sklearn.model_selection import train_test_split

    rng = np.random.default_rng(SEED + 1)
    rows = []
    for name, task, x, y in small_sets():
        shares = {}
        for _ in range(draws):
            noise = np.column_stack([_distinct(rng, len(y)) for _ in range(10)]
                                    + [_four_values(rng, len(y)) for _ in range(10)])
            xn = np.column_stack([x, noise])
            for model_name, (make, _) in importance_models(task, 8, trees).items():
                say(f"noise share: {name}, {model_name}")
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    model = make().fit(xn, y)
                for suffix, importances in _measures(model).items():
                    total = importances.sum()
                    shares.setdefault(model_name + suffix, []).append(
                        float(importances[-20:].sum() / total) if total > 0 else 0.0)
            x_train, x_test, y_train, y_test = train_test_split(
                xn, y, test_size=0.25, random_state=SEED)
            make, _ = importance_models(task, 8, trees)["random forest"]
            perm = np.maximum(_permutation(make().fit(x_train, y_train), x_test, y_test), 0.0)
            shares.setdefault("random forest (permutation)", []).append(
                float(perm[-20:].sum() / perm.sum()) if perm.sum() > 0 else 0.0)
        rows.append({"dataset": name, "n_samples": len(y), "n_features": x.shape[1] + 20,
                     "shares": {k: float(np.mean(v)) for k, v in shares.items()}})
    return rows


def recovery(say=lambda message: None, draws=IMPORTANCE_DRAWS, trees=IMPORTANCE_TREES):
    """(d): the share of the top-k columns that are truly informative (k the number
    of informative columns), mean over IMPORTANCE_DRAWS seeds of the models and of a
    held-out quarter, and each measure's time (quor's: its fit; permutation
    importance's: the random forest's fit and the permutations)."""
    import time

    from sklearn.model_selection import train_test_split

    rows = []
    for name, task, x, y, k in recovery_sets():
        found, seconds = {}, {}

        def record(measure, importances, elapsed):
            top = np.argsort(-importances, kind="stable")[:k]
            found.setdefault(measure, []).append(float(np.mean(top < k)))
            seconds.setdefault(measure, []).append(elapsed)

        for draw in range(draws):
            x_train, x_test, y_train, y_test = train_test_split(
                x, y, test_size=0.25, random_state=SEED + draw)
            for model_name, (make, _) in importance_models(task, 8, trees).items():
                say(f"recovery: {name}, {model_name}")
                model = make()
                if hasattr(model, "random_state"):
                    model.set_params(random_state=SEED + draw)
                start = time.perf_counter()
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    model.fit(x_train, y_train)
                fit = time.perf_counter() - start
                for suffix, importances in _measures(model).items():
                    record(model_name + suffix, importances, fit)
                if model_name == "random forest":
                    start = time.perf_counter()
                    perm = _permutation(model, x_test, y_test)
                    record("random forest (permutation)", perm,
                           fit + time.perf_counter() - start)
        rows.append({"dataset": name, "k": k,
                     "found": {m: float(np.mean(v)) for m, v in found.items()},
                     "seconds": {m: float(np.mean(v)) for m, v in seconds.items()}})
    return rows


def evaluate_importances(quick=False, progress=None):
    say = progress or (lambda message: None)
    # Quick: one draw and small forests, to see that the tables are made.
    draws, trees = (1, 4) if quick else (IMPORTANCE_DRAWS, IMPORTANCE_TREES)
    results = {"machine": bench.machine_info(), "load_start": list(os.getloadavg()),
               "draws": draws, "trees": trees}
    results["noise_column"] = noise_column_importances(quick, say, draws, trees)
    results["noise_share"] = noise_share(say, draws, trees)
    results["recovery"] = recovery(say, draws, trees)
    results["load_end"] = list(os.getloadavg())
    return results


def format_defaults(results):
    rows_in = results["rows"]
    names = list(rows_in[0]["models"]) if rows_in else []
    quor_names = [n for n in names if n.startswith("quor")]
    lines = machine_lines(results)
    lines.append(f"Held-out score, mean over {results['n_folds']} outer folds (accuracy, or R² "
                 "for regression). Half A chose the candidate settings, half B reports. "
                 "\"≥ default\": quor's score at least scikit-learn's default tree's; "
                 "\"near tuned\": within 0.01 of the grid search's. Times: one quor fit "
                 "and one grid search (54 settings × 5 inner folds, then the refit), per "
                 "outer fold.")
    lines.append("")
    header = ["data set", "half"] + names + ["grid search s / quor fit s"]
    rows = []
    counts = {n: {"ge": 0, "near": 0} for n in quor_names}
    for row in rows_in:
        m = row["models"]
        default, tuned = m["scikit-learn (defaults)"]["mean"], m["scikit-learn (tuned)"]["mean"]
        for n in quor_names:
            counts[n]["ge"] += m[n]["mean"] >= default
            counts[n]["near"] += m[n]["mean"] >= tuned - 0.01
        cells = [row["dataset"], row["half"]] + [f"{m[n]['mean']:.3f}" for n in names]
        cells.append(f"{m['scikit-learn (tuned)']['fit_s']:.2f} / "
                     f"{m['quor (defaults)']['fit_s']:.3f}")
        rows.append(cells)
    lines.append(bench.render_table(header, rows, markdown=True,
                                    align=list("ll") + ["r"] * (len(names) + 1)))
    lines.append("")
    for n in quor_names:
        lines.append(f"- {n}: ≥ default on {counts[n]['ge']} of {len(rows_in)}, near tuned on "
                     f"{counts[n]['near']} of {len(rows_in)}.")
    return "\n".join(lines)


def format_importances(results):
    lines = machine_lines(results)
    for kind in ("continuous", "four values"):
        names = list(results["noise_column"][0]["kinds"][kind])
        lines += ["", f"Importance of one added noise column ({kind}), mean over "
                  f"{results['draws']} draws; forests of {results['trees']} trees:", ""]
        rows = [[row["dataset"]] + [f"{row['kinds'][kind][n]:.4f}" for n in names]
                for row in results["noise_column"]]
        lines.append(bench.render_table(["data set"] + names, rows, markdown=True,
                                        align=["l"] + ["r"] * len(names)))
    names = list(results["noise_share"][0]["shares"])
    lines += ["", "Share of all importance on twenty added noise columns (ten continuous, ten "
              f"of four values), mean over {results['draws']} draws:", ""]
    rows = [[f"{row['dataset']} ({row['n_samples']} × {row['n_features']})"]
            + [f"{row['shares'][n]:.3f}" for n in names] for row in results["noise_share"]]
    lines.append(bench.render_table(["data set"] + names, rows, markdown=True,
                                    align=["l"] + ["r"] * len(names)))
    names = list(results["recovery"][0]["found"])
    lines += ["", "Share of the top-k columns that are informative (k = the informative "
              f"columns), mean over {results['draws']} seeds, and seconds per measure:", ""]
    rows = [[row["dataset"]] + [f"{row['found'][n]:.2f} ({row['seconds'][n]:.2f} s)" for n in names]
            for row in results["recovery"]]
    lines.append(bench.render_table(["data set"] + names, rows, markdown=True,
                                    align=["l"] + ["r"] * len(names)))
    return "\n".join(lines)


# -- categorical features with many values ---------------------------------------------

CATEGORY_COUNTS = (8, 30, 100, 1000)
CATEGORY_ROWS = 6000
HGB_MAX_CATEGORIES = 255  # HistGradientBoosting's limit on a native categorical feature


def category_data(task, n_categories, n=CATEGORY_ROWS, seed=SEED):
    """A frame of a categorical column ``c``, a normal column ``x`` and a noise
    column, and a target that a third of the categories (the group G) changes
    together with x: binary ``(c in G and x > -0.5) or x > 1.5`` with 5 % of the
    labels flipped; multiclass the same two conditions as classes 1 and 2 (class 2
    wins), 5 % flipped to a random class; regression ``2·[c in G and x > -0.5] + x``
    plus normal noise of 0.5."""
    import pandas as pd

    rng = np.random.default_rng(seed + n_categories)
    group = rng.permutation(n_categories)[: n_categories // 3]
    codes = rng.integers(0, n_categories, n)
    x = rng.normal(size=n)
    in_group = np.isin(codes, group)
    names = [f"k{i:04d}" for i in range(n_categories)]
    frame = pd.DataFrame({"c": pd.Categorical.from_codes(codes, categories=names), "x": x,
                          "noise": rng.normal(size=n)})
    first, second = in_group & (x > -0.5), x > 1.5
    flip = rng.random(n) < 0.05
    if task == "binary":
        y = (first | second).astype(int)
        y[flip] = 1 - y[flip]
    elif task == "multiclass":
        y = np.where(second, 2, np.where(first, 1, 0))
        y[flip] = rng.integers(0, 3, flip.sum())
    else:
        y = 2.0 * first + x + rng.normal(scale=0.5, size=n)
    return frame, y


def category_models(task, n_categories):
    """Name -> (unfitted estimator, whether it takes the one-hot columns)."""
    from sklearn.compose import make_column_transformer
    from sklearn.ensemble import (HistGradientBoostingClassifier, HistGradientBoostingRegressor,
                                  RandomForestClassifier, RandomForestRegressor)
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import OneHotEncoder, OrdinalEncoder
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    from quor import QUORClassifier, QUORForestClassifier, QUORForestRegressor, QUORRegressor

    classifier = task != "regression"
    tree, forest = (QUORClassifier, QUORForestClassifier) if classifier else (
        QUORRegressor, QUORForestRegressor)
    one_hot = make_column_transformer((OneHotEncoder(handle_unknown="ignore"), ["c"]),
                                      remainder="passthrough")
    sk_tree = DecisionTreeClassifier if classifier else DecisionTreeRegressor
    sk_forest = RandomForestClassifier if classifier else RandomForestRegressor
    out = {
        "quor tree": tree(categorical_split="one"),
        "quor tree, set": tree(categorical_split="set"),
        "quor tree, fast, no depth limit": tree(mode="fast", max_depth=None,
                                                categorical_split="one"),
        "quor tree, fast, no depth limit, set": tree(mode="fast", max_depth=None,
                                                     categorical_split="set"),
        "quor forest": forest(categorical_split="one", random_state=SEED),
        "quor forest, set": forest(categorical_split="set", random_state=SEED),
        "sklearn tree, one-hot": make_pipeline(one_hot, sk_tree(random_state=SEED)),
        "RandomForest, one-hot": make_pipeline(one_hot, sk_forest(random_state=SEED)),
    }
    if n_categories <= HGB_MAX_CATEGORIES:
        hgb = HistGradientBoostingClassifier if classifier else HistGradientBoostingRegressor
        # The categories as ordinal codes in the first column, declared categorical.
        ordinal = make_column_transformer((OrdinalEncoder(), ["c"]), remainder="passthrough")
        out["HistGradientBoosting, native categories"] = make_pipeline(
            ordinal, hgb(categorical_features=[0], random_state=SEED))
    return out


def evaluate_categories(quick=False, progress=None, counts=CATEGORY_COUNTS):
    """Five-fold scores and fit times of every model of ``category_models`` on
    ``category_data`` for each task and number of categories."""
    from sklearn.model_selection import KFold, StratifiedKFold, cross_validate

    say = progress or (lambda message: None)
    results = {"machine": bench.machine_info(), "load_start": list(os.getloadavg()),
               "n_folds": N_FOLDS, "rows": []}
    n = 600 if quick else CATEGORY_ROWS
    for task in ("binary", "multiclass", "regression"):
        for n_categories in counts:
            frame, y = category_data(task, n_categories, n)
            classifier = task != "regression"
            splitter = (StratifiedKFold if classifier else KFold)(
                N_FOLDS, shuffle=True, random_state=SEED)
            scoring = "accuracy" if classifier else "r2"
            row = {"task": task, "n_categories": n_categories, "n_samples": n,
                   "metric": scoring, "models": {}}
            for name, model in category_models(task, n_categories).items():
                say(f"{task}, {n_categories} categories: {name}")
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    cv = cross_validate(model, frame, y, cv=splitter, scoring=scoring,
                                        error_score="raise")
                row["models"][name] = {"scores": cv["test_score"].tolist(),
                                       "mean": float(np.mean(cv["test_score"])),
                                       "fit_s": float(np.mean(cv["fit_time"]))}
            results["rows"].append(row)
    results["load_end"] = list(os.getloadavg())
    return results


def format_categories(results):
    """One table per task: the mean score of every model and its mean fit time."""
    lines = machine_lines(results)
    for task in ("binary", "multiclass", "regression"):
        rows = [r for r in results["rows"] if r["task"] == task]
        if not rows:
            continue
        names = list(dict.fromkeys(name for r in rows for name in r["models"]))
        metric = rows[0]["metric"]
        lines += [f"**{task}** ({metric}, {N_FOLDS}-fold mean; fit time per fit in s)", ""]
        table = []
        for r in rows:
            cells = [str(r["n_categories"])]
            for name in names:
                m = r["models"].get(name)
                cells.append("–" if m is None else f"{m['mean']:.3f} ({m['fit_s']:.3g} s)")
            table.append(cells)
        lines.append(bench.render_table(["categories"] + names, table, markdown=True,
                                        align=["r"] * (len(names) + 1)))
        lines.append("")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="iris, diabetes and small synthetic data only")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--imbalanced", action="store_true",
                        help="the objective classifier on imbalanced data instead")
    parser.add_argument("--defaults", action="store_true",
                        help="the single tree's defaults against scikit-learn's tree, "
                        "at its defaults and grid-searched, instead")
    parser.add_argument("--importances", action="store_true",
                        help="the importance measurements instead: noise columns and the "
                        "recovery of informative columns")
    parser.add_argument("--categories", action="store_true",
                        help="categorical features of 8 to 1 000 categories instead")
    parser.add_argument("--counts", metavar="N,N,…",
                        help="with --categories: these numbers of categories only")
    parser.add_argument("--trees", type=int, default=IMBALANCED_TREES,
                        help=f"with --imbalanced: trees per forest (default {IMBALANCED_TREES})")
    parser.add_argument("--only", action="append", metavar="MODEL",
                        help="with --imbalanced: only this model (as named in the table; "
                        "repeatable), to rerun a column")
    args = parser.parse_args(argv)
    progress = lambda message: print(message, file=sys.stderr, flush=True)  # noqa: E731
    if args.defaults:
        results = evaluate_defaults(args.quick, progress)
        print(format_defaults(results))
    elif args.importances:
        results = evaluate_importances(args.quick, progress)
        print(format_importances(results))
    elif args.categories:
        counts = (tuple(int(c) for c in args.counts.split(",")) if args.counts
                  else CATEGORY_COUNTS)
        results = evaluate_categories(args.quick, progress, counts)
        print(format_categories(results))
    elif args.imbalanced:
        results = evaluate_imbalanced(args.quick, progress, args.only, args.trees)
        print(format_imbalanced(results))
    else:
        results = evaluate(args.quick, progress)
        print(format_report(results))
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
