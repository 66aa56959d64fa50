"""The hyperparameters of quor's estimators, written once.

Each :class:`Param` holds a name, its default, the values it accepts, its
documentation and a one-line summary.  From this table come the estimators'
``__init__`` signatures and docstrings, the checks run at the start of
``fit``, the settings of the command line and the parameter table of the
README (:func:`markdown_table`).

Checks follow scikit-learn's way: each estimator class has
``_parameter_constraints`` (a name -> list of accepted kinds of value), and a
value matching none of them raises :class:`InvalidParameterError`, a
``ValueError`` and a ``TypeError`` at once, with a message naming the
parameter, what it accepts and what was given.
"""

import inspect
import math
import numbers
import os

import numpy as np

from ._quor import LIMITS, OPTIONS

__all__ = ["InvalidParameterError", "Param", "check_params", "markdown_table"]

UINT64_MAX = 2**64 - 1
# The core's limits, read from it (quor._quor.LIMITS).
FAST_MAX_BINS = LIMITS["fast_max_bins"]
FAST_MAX_FOLDS = LIMITS["fast_max_folds"]
MAX_CATEGORY_CODE = LIMITS["max_category_code"]
MAX_WEIGHT_FRACTION_LEAF = LIMITS["max_weight_fraction_leaf"]


class InvalidParameterError(ValueError, TypeError):
    """A hyperparameter of the wrong type or out of its range."""


# -- kinds of accepted values -------------------------------------------------------


class Interval:
    """Numbers of one type between two bounds (None: unbounded)."""

    def __init__(self, kind, low, high, closed="both"):
        self.kind, self.low, self.high, self.closed = kind, low, high, closed

    def accepts(self, value):
        if isinstance(value, (bool, np.bool_)):
            return False
        if self.kind == "int":
            if not isinstance(value, numbers.Integral):
                return False
        elif not isinstance(value, numbers.Real) or not _is_finite(value):
            return False
        elif self.kind == "fraction" and isinstance(value, numbers.Integral):
            return False
        low_ok = self.low is None or (
            value >= self.low if self.closed in ("both", "left") else value > self.low
        )
        high_ok = self.high is None or (
            value <= self.high if self.closed in ("both", "right") else value < self.high
        )
        return low_ok and high_ok

    def __str__(self):
        left = "-inf" if self.low is None else _number(self.low)
        right = "inf" if self.high is None else _number(self.high)
        brackets = {"both": "[]", "left": "[)", "right": "(]", "neither": "()"}[self.closed]
        if self.low is None:
            brackets = "(" + brackets[1]
        if self.high is None:
            brackets = brackets[0] + ")"
        noun = {"int": "an int", "real": "a finite number", "fraction": "a float"}[self.kind]
        if self.low is None and self.high is None:
            return noun
        return f"{noun} in the range {brackets[0]}{left}, {right}{brackets[1]}"


def _is_finite(value):
    try:
        return math.isfinite(value)
    except OverflowError:  # an int too large for a float
        return False


def _number(value):
    return str(value) if value < 2**32 else f"2**{round(math.log2(value + 1))} - 1"


class Options:
    """One of a few values; ``hidden`` ones are accepted but not listed."""

    def __init__(self, *values, hidden=()):
        self.values, self.hidden = values, tuple(hidden)

    def accepts(self, value):
        try:
            return value in self.values or value in self.hidden
        except TypeError:  # an unhashable or otherwise incomparable value
            return False

    def __str__(self):
        return "one of " + ", ".join(repr(v) for v in self.values)


class Boolean:
    def accepts(self, value):
        return isinstance(value, (bool, np.bool_))

    def __str__(self):
        return "a bool"


class NoneValue:
    def accepts(self, value):
        return value is None

    def __str__(self):
        return "None"


class Anything:
    def accepts(self, value):
        return True

    def __str__(self):
        return "anything"


class ClassWeights:
    """``class_weight``: None, "balanced" (forests: also "balanced_subsample") or a dict
    of label -> weight, whose labels and weights are checked against y at fit."""

    def __init__(self, subsample=False):
        self.names = ("balanced", "balanced_subsample") if subsample else ("balanced",)

    def accepts(self, value):
        return value is None or isinstance(value, dict) or (
            isinstance(value, str) and value in self.names)

    def __str__(self):
        return ", ".join(repr(n) for n in self.names) + ", a dict or None"


def _finite(low=None, high=None, closed="both"):
    return Interval("real", low, high, closed)


def _count(low=0):
    return Interval("int", low, UINT64_MAX)


# -- the table ----------------------------------------------------------------------


class Param:
    """One hyperparameter: where it applies, its default, accepted values and docs.

    ``task`` is "both", "regressor" or "classifier"; ``doc`` is the body of
    its numpydoc entry; ``summary`` a one-line description for the command
    line and the README; ``cli`` converts a command-line string (``FLAG``: a
    bool given as --name / --no-name; None: not a command-line setting).
    """

    def __init__(self, name, default, constraints, kind_doc, doc, summary, task="both", cli=str,
                 stored=()):
        self.name, self.default, self.constraints = name, default, constraints
        self.kind_doc, self.doc, self.summary = kind_doc, doc, summary
        self.task, self.cli, self.stored = task, cli, list(stored)

    def with_default(self, default):
        """The same parameter with another default (a forest's)."""
        return Param(self.name, default, self.constraints, self.kind_doc, self.doc, self.summary,
                     self.task, self.cli, self.stored)


def _int_or_fraction(text):
    try:
        return int(text)
    except ValueError:
        return float(text)


def _none_or_text(text):
    return None if text.lower() == "none" else text


def _none_or_int(text):
    return None if text.lower() == "none" else int(text)


def _none_number_or_text(text):
    """None, an int, a float, or else the text itself (a name such as "sqrt",
    which the estimator's checks accept or refuse)."""
    if text.lower() == "none":
        return None
    try:
        return _int_or_fraction(text)
    except ValueError:
        return text


FLAG = "flag"  # a bool setting: --name / --no-name on the command line


def _braced(option):
    """The accepted names of a core option as a docstring shows them: {"a", "b"}."""
    return "{" + ", ".join(f'"{name}"' for name in OPTIONS[option]) + "}"


def _ticked(option):
    return ", ".join(f"`{name}`" for name in OPTIONS[option])


# The regression criteria that fast mode does not take.
NOT_FAST = [n for n in OPTIONS["regression_criterion"] if n not in OPTIONS["fast_regression_criterion"]]


def _regression_criteria_summary():
    """`mse`, `variance`, `mae` (not in fast mode): the names, marking those fast mode lacks."""
    return ", ".join(f"`{n}`" + (" (not in fast mode)" if n in NOT_FAST else "")
                     for n in OPTIONS["regression_criterion"])


PARAMS = [
    Param(
        "criterion", "mse", [Options(*OPTIONS["regression_criterion"])],
        _braced("regression_criterion"),
        f"""Impurity whose decrease scores a split.  "variance" is the same as
"mse".  Not available in ``mode="fast"``: {", ".join(f'"{n}"' for n in NOT_FAST)}.""",
        _regression_criteria_summary(), task="regressor"),
    Param(
        "criterion", "gini", [Options(*OPTIONS["classification_criterion"]), NoneValue()],
        _braced("classification_criterion"),
        """Impurity whose decrease scores a split.  Ignored when ``objective``
is given (and then may be None).""",
        f"{_ticked('classification_criterion')}; ignored when `objective` is set",
        task="classifier"),
    Param(
        "objective", None, [Options(*OPTIONS["objective"]), NoneValue()],
        _braced("objective") + " or None",
        """Choose splits by this metric measured on the held-out folds instead
of by an impurity.""",
        f"{_ticked('objective')}: choose splits by this metric on the held-out folds",
        task="classifier"),
    Param(
        "average", "binary", [Options(*OPTIONS["average"])], _braced("average"),
        """Averaging of precision, recall, F1 and F-beta over the classes, as in
scikit-learn's metrics; "binary" scores the class ``pos_label`` only.""",
        _ticked("average"), task="classifier"),
    Param(
        "pos_label", None, [Anything()], "label or None",
        """The positive class of ``average="binary"``, given as one of the
labels of y.  None means the greater of the two labels (1 for {0, 1}
or {-1, 1}, "yes" for {"no", "yes"}), as scikit-learn's metrics do for
{0, 1} and {-1, 1}; with more than two classes and a binary-averaged
objective it must be given.  A label absent from y raises ValueError.""",
        "positive class of `binary`, one of y's labels; None = the greater label",
        task="classifier"),
    Param(
        "objective_labels", "metric", [Options(*OPTIONS["objective_labels"])],
        _braced("objective_labels"),
        """How the classes that the sides of a candidate split, the node without a
split and the finished tree's leaves predict are chosen under an
``objective``: "metric" takes the labelling that maximises the objective
on the training samples (so that a side may predict a rare class it does
not hold a majority of), "majority" the most frequent class (the rule of
quor 0.3 and earlier, under which imbalanced data give one-leaf trees).
A forest with "metric" predicts the class of largest
``decision_weights_ * predict_proba``, the weights (for two classes, a
threshold on the positive class's probability) chosen to maximise the
objective on held-out rows (see ``decision_folds``); without them, the
class most of its trees' leaves predict.  ``predict_proba`` is the
leaves' class shares either way.""",
        "`metric`: sides and leaves predict what serves `objective`; `majority`: the most frequent class",
        task="classifier"),
    Param(
        "objective_splits", "select", [Options("select", "objective", "criterion")],
        '{"select", "objective", "criterion"}',
        """With an ``objective``: what the tree splits by, and how it decides.
``"objective"``: splits chosen by the objective, each leaf predicting
the class its ``objective_labels`` gives (no ``decision_weights_``).
``"criterion"``: splits chosen by ``criterion`` (impurity), and
``predict`` takes the class of largest ``decision_weights_ *
predict_proba``, the weights (for two classes, a threshold on the
positive class's share) chosen to maximise the objective on the
predictions of trees grown on ``decision_folds`` - 1 of
``decision_folds`` folds of the rows.  ``"select"``: both kinds of tree
are grown on those folds, each with its weights so chosen, and the
kind whose held-out predictions score the objective higher is grown on
every row (``objective_splits_``; ties go to "objective").  Splits by
the objective win where a class is rare; splits by impurity where the
signal needs several splits before any of them pays on the metric.  A
fit with "criterion" or "select" grows ``decision_folds`` trees of
each kind beside the one it keeps.  Without an ``objective`` it changes
nothing.""",
        "with an `objective`: split by the objective, by `criterion` with a decision "
        "chosen on held-out folds, or `select` the kind that scores higher there",
        task="classifier"),
    Param(
        "decision_folds", 3, [_count(2)], "int",
        """With an ``objective`` and ``objective_splits`` "criterion" or
"select": the folds (stratified by class, the same for every fit) on
whose held-out predictions the decision is chosen.  When a class has
fewer rows of non-zero weight than folds, the tree splits by the
objective and has no decision weights.""",
        "with `objective_splits` `criterion`/`select`: folds the decision is chosen on",
        task="classifier", cli=_none_or_int, stored=[NoneValue()]),
    Param(
        "beta", 1.0, [_finite(0, None)], "float",
        "Weight of recall against precision in ``objective=\"fbeta\"`` (finite, >= 0).",
        "weight of recall in `fbeta`", task="classifier", cli=float),
    Param(
        "class_weight", None, [ClassWeights()], '"balanced", dict or None',
        """Weights of the classes, multiplied into ``sample_weight``: a dict
mapping class labels to weights (finite, 0 or more; classes it leaves out
weigh 1), or "balanced": class c weighs ``n / (n_classes * n_c)``,
counted over the rows whose ``sample_weight`` is not 0 (n of them, n_c
in class c, n_classes classes among them).""",
        "`balanced` (in Python also a dict {label: weight}); multiplies `sample_weight`",
        task="classifier", cli=_none_or_text),
    Param(
        "max_depth", None, [Interval("int", 0, UINT64_MAX), NoneValue()], "int or None",
        """Depth limit of the tree; None grows until the other stopping rules
end every branch.  The root has depth 0.""",
        "depth limit; None = unlimited", cli=_none_or_int),
    Param(
        "min_samples_split", 2, [_count(), Interval("fraction", 0, 1, "right")], "int or float",
        """Smallest node that may be split.  Values below 2 act as 2.  A float
in (0, 1] is a fraction: ``ceil(min_samples_split * n_samples)``.""",
        "smallest node that may be split (a float: fraction of the samples)",
        cli=_int_or_fraction),
    Param(
        "min_samples_leaf", 3, [_count(), Interval("fraction", 0, 1, "neither")], "int or float",
        """Smallest child a split may leave; a split leaving fewer samples on
either side turns the node into a leaf.  0 acts as 1.  A float in (0, 1)
is a fraction: ``ceil(min_samples_leaf * n_samples)``.""",
        "smallest child a split may leave (a float: fraction of the samples)",
        cli=_int_or_fraction),
    Param(
        "min_weight_fraction_leaf", 0.0, [_finite(0, MAX_WEIGHT_FRACTION_LEAF)], "float",
        f"""Smallest share of the total weight of the tree's training rows that
a split may leave on either side, in [0, {MAX_WEIGHT_FRACTION_LEAF}]; 0 (the default) sets no
such limit.  Without weights every row weighs 1 and this is a fraction
of the rows.""",
        "smallest share of the total weight a split may leave on either side",
        cli=float),
    Param(
        "min_impurity_decrease", 0.0, [_finite()], "float",
        """A node is split only when the aggregated cross-validated score of its
best candidate is strictly greater than this (any finite number).""",
        "a split needs an aggregated score above this", cli=float),
    # Earlier versions took n_bins and cv_folds below 2 (one bin cannot split a
    # continuous feature; one fold acted as two): fit refuses them, but a
    # stored model may hold them.
    Param(
        "n_bins", 64, [_count(2)], "int",
        f"""Number of quantile bins of a continuous feature, at least 2; the
candidate splits of a feature are its bin boundaries
(``split_style="threshold"``) or its bins (``split_style="bin"``).  In
``mode="fast"`` at most {FAST_MAX_BINS}.  Strict mode bins every node and
fold afresh, so a few bins (8 to 32) are enough there, and faster.""",
        "quantile bins per continuous feature (at least 2)", cli=int, stored=[_count()]),
    Param(
        "cv_folds", 3, [_count(2)], "int",
        f"""Number of folds into which every node divides its own samples to score
candidate splits, at least 2; never more folds than samples (and at
most {FAST_MAX_FOLDS} in ``mode="fast"``).""",
        "folds inside every node (at least 2)", cli=int, stored=[_count()]),
    Param(
        "cv_seed", 42, [_count()], "int",
        "Seed of the shuffle that precedes fold assignment.",
        "seed of the fold shuffle", cli=int),
    Param(
        "cv_shuffle", True, [Boolean()], "bool",
        "Shuffle each node's samples before dividing them into folds.",
        "shuffle node samples before fold assignment", cli=FLAG),
    Param(
        "mode", "fast", [Options(*OPTIONS["mode"])], _braced("mode"),
        f"""``"strict"`` re-bins every feature inside every node and fold (exact,
slower); ``"fast"`` encodes each feature once into at most {FAST_MAX_BINS}
bins and scores candidates from per-fold histograms.  The criterion
``"mae"`` needs ``"strict"``.""",
        "`strict` (exact, re-bins per node and fold) or `fast` (16-bit codes, histograms)"),
    Param(
        "split_style", "threshold",
        [Options(*OPTIONS["split_style"], hidden=OPTIONS["split_style_alias"])],
        _braced("split_style"),
        """Shape of a continuous split: ``x < t`` (threshold) or membership of
one quantile bin, ``a <= x < b`` (bin).""",
        "`threshold` (`x < t`) or `bin` (`a <= x < b`)"),
    Param(
        "missing", "learn", [Options(*OPTIONS["missing"])], _braced("missing"),
        """Where a split sends missing values (NaN, and infinities in
continuous features).  ``"right"``: always to the right child.
``"learn"`` (both modes): each candidate split is scored with
its missing values on the left and on the right, and "missing against
every finite value" is a candidate of its own; the held-out scores choose
(on equal scores, right).  A node whose training rows have no missing
value in the split's feature sends missing values right, so a column
without missing values at fit grows the same tree either way.""",
        "`right` (always) or `learn` (the side the held-out scores choose)"),
    Param(
        "categorical_split", "set", [Options(*OPTIONS["categorical_split"])],
        _braced("categorical_split"),
        """How a categorical feature splits.  ``"one"``: one category against
the rest (``x == c``).  ``"set"`` (both modes): a set of
categories against the rest.  In each fold the node's categories are
ordered by a statistic of the target over the fold's training part (the
mean target; the share of the second class; with more classes, each
class's share in turn, each order with its own candidates), candidate t
sends the t lowest left and is scored on the fold's held-out part, and
the scores of each t are aggregated over the folds; the winner stores
the t lowest categories in the same order over the whole node.  A
category absent from a fold's training part takes the statistic of all
that part's rows with a category, so it sits where the part's average is
rather than at an end of the order.  A category no training row of
the node had goes right, as missing values do unless ``missing="learn"``
sends them left.  A feature with a category code above 65534 splits by
one category.""",
        "`one` (`x == c`) or `set` (`x in {a, b, …}`, categories ordered by the target)"),
    Param(
        "threshold_placement", "midpoint", [Options(*OPTIONS["threshold_placement"])],
        _braced("threshold_placement"),
        """Where a continuous split's threshold lies between the node's largest
value on the left and its smallest value on the right: ``"midpoint"``
halfway between them, ``"edge"`` at the edge of the winning bin, which
is the right side's smallest value (or, in fast mode, the bin's edge
over the whole column).  The node's training rows go the same way under
either, so the tree's structure, leaves and scores are the same; only
values that fall in the gap at prediction go differently (to the nearer
side under ``"midpoint"``).  In fast mode the gap is read from the bins:
the largest training value of the left side's highest bin and the
smallest of the right side's lowest bin.""",
        "`midpoint` (halfway between the node's values on either side) or `edge`"),
    Param(
        "aggregator", "mean", [Options(*OPTIONS["aggregator"])], _braced("aggregator"),
        "How the K fold scores of a candidate are reduced to one number.",
        _ticked("aggregator")),
    Param(
        "agg_frac", 0.2, [_finite(0, 0.5)], "float",
        """``"trimmed_mean"`` only: drops ``floor(K * agg_frac)`` scores from
each end (always keeping at least one); in [0, 0.5].  0.2 makes five
folds drop their best and their worst score (the single trees' default
three folds drop none: use five or more); 0.1 would trim nothing below
ten folds.""",
        "trimmed mean: drop `floor(K·agg_frac)` scores at each end (the best and worst of 5 "
        "folds)", cli=float),
    Param(
        "agg_eps", 1e-12, [_finite(0, None)], "float",
        """``"signal_to_noise"`` only: the score is ``mean / (std + agg_eps)``.
The small positive value keeps a candidate whose folds agree exactly
(std 0) finite, and so selectable, instead of infinite or NaN, while
leaving ``mean / std`` unchanged on data of ordinary scale.  Lower it
for targets on a very small scale (finite, >= 0).""",
        "signal to noise: `mean / (std + agg_eps)`; keeps folds that agree exactly finite",
        cli=float),
    Param(
        "agg_lambda", 1.0, [_finite(0, None)], "float",
        """``"mean_minus_lambda_std"`` only: the score is
``mean - agg_lambda * std`` (finite, >= 0); 1.0 ranks candidates by a
one-standard-deviation lower bound of their fold scores.""",
        "`mean − agg_lambda·std`", cli=float),
    Param(
        "parallel", False, [Boolean()], "bool",
        """Grow the tree on worker threads: the largest nodes are scored on every
thread, and separate subtrees grow on separate threads.  The tree is
identical to a sequential fit.  ``predict`` and ``predict_proba`` of a
large X route its rows on the threads too, with the same results.""",
        "grow on threads: large nodes scored on all of them, subtrees side by side (same tree "
        "as sequential); large predictions on them too", cli=FLAG),
    Param(
        "n_threads", 1, [Interval("int", None, UINT64_MAX)], "int",
        """Number of worker threads when ``parallel`` is true (below 2: none).
-1 means one per core, as ``n_jobs=-1`` does; -2 one fewer, and so on.""",
        "worker threads when `parallel` is on; -1 = one per core", cli=int),
    Param(
        "parallel_min_samples", 512, [_count()], "int",
        """``mode="fast"`` only: smallest node that is scored on several threads;
a fit on fewer samples uses no threads at all.""",
        "fast mode: smallest node scored on several threads", cli=int),
    Param(
        "categorical", None, [Anything()], "array-like of int, str or bool",
        f"""Categorical features, as column indices, as feature names (when
fitting on a pandas DataFrame) or as a boolean mask over the columns.
pandas ``category`` columns are categorical without being named, and
``object``/string columns may be named: their values are encoded by
value, in the order of the categories seen at fit; a missing value
(None, NaN) is missing, and a category not seen at fit goes where any
category other than the one a split tests goes.  A numeric column named
here holds category codes, integers from 0 to {MAX_CATEGORY_CODE}; negative and
NaN values are missing, and a fractional or larger value is a
ValueError (at fit and at predict).  A categorical split tests
``x == category``.""",
        "column indices, DataFrame names, or a boolean mask; pandas `category` columns "
        "are categorical anyway", cli=None),
]


# Values a stored model may hold beside those fit takes, by parameter name.
_STORED = {p.name: p.stored for p in PARAMS if p.stored}

# Parameters that models saved before they existed (model files, pickles)
# lack, with the value that gives what those models were fitted with.
LEGACY_DEFAULTS = {"objective_labels": "majority", "missing": "right", "objective_splits": "objective",
                   "max_thresholds": None, "decision_folds": None,
                   "categorical_split": "one", "threshold_placement": "edge"}


# -- forests -------------------------------------------------------------------------

# Tree settings a forest does not take: it grows one tree per thread (n_jobs).
FOREST_EXCLUDED = ("parallel", "n_threads", "parallel_min_samples")

def _max_features(default, task):
    return Param(
        "max_features", default,
        [Options("sqrt", "log2"), _count(1), Interval("fraction", 0, 1, "right"), NoneValue()],
        '{"sqrt", "log2"}, int, float or None',
        """Number of features each node evaluates, drawn anew at every node:
``"sqrt"`` and ``"log2"`` of the number of features, an int, a fraction
of the features (at least one), or None for all of them.  A node whose
drawn features give no finite score evaluates the other features.""",
        "features drawn at every node (`sqrt`, `log2`, int, fraction, None = all)",
        task=task, cli=_none_number_or_text)


def _max_samples(default, task):
    return Param(
        "max_samples", default, [_count(1), Interval("fraction", 0, 1, "right"), NoneValue()],
        "int, float or None",
        """Rows each tree is grown on, drawn without replacement: an int, a
fraction of the rows, or None for all of them.  Drawing without
replacement keeps a row out of both sides of any node's folds (a
bootstrap copy could be trained on and held out at once).""",
        "rows per tree, drawn without replacement (int, fraction, None = all)",
        task=task, cli=_none_number_or_text)


FOREST_PARAMS = [
    Param(
        "n_estimators", 100, [_count(1)], "int",
        "Number of trees in the forest.",
        "trees in the forest", task="forest", cli=int),
    Param(
        "class_weight", None, [ClassWeights(subsample=True)],
        '"balanced", "balanced_subsample", dict or None',
        """Weights of the classes, multiplied into ``sample_weight``: a dict
mapping class labels to weights (finite, 0 or more; classes it leaves out
weigh 1); "balanced": class c weighs ``n / (n_classes * n_c)``, counted
over the rows whose ``sample_weight`` is not 0; "balanced_subsample":
the same, counted by each tree over the rows it draws.""",
        "`balanced`, `balanced_subsample` (per tree's rows; in Python also a dict "
        "{label: weight})",
        task="forest_classifier", cli=_none_or_text),
    _max_features("sqrt", "forest_classifier"),
    # 0.7 for regression: with drawn thresholds it scored above 0.5 and 1.0 on
    # the regression sets the forests' defaults were chosen on (bench/README.md).
    _max_features(0.7, "forest_regressor"),
    # 0.9 for regression too since drawn thresholds (0.8 before): on the sets
    # the forests' defaults are chosen on it gave friedman1 0.860 against 0.857
    # (diabetes 0.442 against 0.456, both above RandomForest), the one set
    # that 0.8 left below RandomForest.
    _max_samples(0.9, "forest"),
    Param(
        "max_thresholds", 4, [_count(1), NoneValue()], "int or None",
        """Fast mode: the candidate thresholds each node scores per continuous
feature, drawn at random (from the tree's seed and the node's place in
it) among the codes the node's rows hold; None scores every one.  A few
drawn thresholds make the trees differ more from one another, which
helps a forest most where the signal is built from interactions.
Strict mode, and ``split_style="bin"`` (no thresholds), score every
candidate whatever this says.""",
        "fast mode: candidate thresholds drawn per node and feature (None = all)",
        task="forest", cli=_none_or_int),
    Param(
        "objective_splits", "criterion", [Options("criterion", "objective")],
        '{"criterion", "objective"}',
        """With an ``objective``: what the trees split by.  ``"criterion"``:
the trees grow by ``criterion`` (impurity), and the forest's decision
serves the objective: ``predict`` takes the class of largest
``decision_weights_ * predict_proba``, the weights chosen for the
metric on held-out rows (``decision_folds``; a local forest only: a
Dask forest does not choose a decision).  ``"objective"``: the trees
split by the objective, as ``QUORClassifier(objective=...,
objective_splits="objective")`` does, with the same decision when there
are held-out rows.  Without an ``objective`` it changes nothing.""",
        "with an `objective`: trees split by `criterion` (the decision serves the metric) "
        "or by the objective", task="forest_classifier"),
    Param(
        "decision_folds", 3, [_count(2), NoneValue()], "int or None",
        """With an ``objective``: where the forest's decision is chosen.  An
int: on the predictions of forests grown (with these settings) on
``decision_folds`` - 1 of ``decision_folds`` folds of the rows
(stratified by class, the same for every fit), which costs about
``decision_folds`` - 1 more forests' fit (a class with fewer rows of
non-zero weight than folds leaves the forest without decision weights:
its trees vote).  None: on the out-of-bag rows
(each row predicted by the trees that did not draw it; no extra fit,
but such a prediction averages a few of the trees, a noisier score than
the whole forest's, and the decision is the worse for it; needs
``max_samples`` below the number of rows).""",
        "with an `objective`: folds the decision is chosen on (None = the out-of-bag rows)",
        task="forest_classifier", cli=_none_or_int),
    Param(
        "oob_score", False, [Boolean()], "bool",
        """Compute ``oob_score_`` and the out-of-bag predictions from the rows
each tree did not see (needs ``max_samples`` below the number of
rows).""",
        "score the rows each tree did not see", task="forest", cli=FLAG),
    Param(
        "random_state", None, [Anything()], "int, RandomState instance or None",
        """Seeds the trees: each tree draws its rows and its nodes' features
from its own seed, taken from this.  Equal values give equal forests
on any number of threads.""",
        "seed of the trees' draws", task="forest", cli=_none_or_int),
    Param(
        "n_jobs", None, [Interval("int", 1, UINT64_MAX), Interval("int", None, -1), NoneValue()],
        "int or None",
        """Threads that grow trees (one tree per thread) and predict.  None
means 1, -1 every core, -2 all but one, and so on.  The forest is the
same for every value.""",
        "threads; None = 1, -1 = every core", task="forest", cli=_none_or_int),
    Param(
        "verbose", 0, [_count(0), Boolean()], "int",
        """Above 0, show the progress of ``fit`` on stderr (a tqdm bar when
tqdm is installed, plain lines otherwise).""",
        "progress of fit on stderr", task="forest", cli=int),
]

# The trees' settings that a forest changes by default, chosen on the held-out
# scores of bench/forest.py (bench/README.md, forests): trees grown until their
# folds stop them (a forest averages away the variance of deep trees), fast
# mode, 255 bins (with max_thresholds' four thresholds drawn per node and
# feature, the finest bins scored best: the draws then land anywhere in the
# feature's range), and two folds per node (each fold's
# training side is then half the node, which scored better than three or five
# folds with the rows a tree draws). Regression trees split only nodes of 8
# rows or more: on the held-out scores that cost 0.0003 R² on the noisy
# synthetic set and gained 0.008 on diabetes, and it grows 57 % fewer nodes,
# which a fully grown regression forest needs to fit in memory at a million
# rows.
# Thresholds stay at the bins' edges: halfway placement, which the single
# trees gain from, changed the forests' held-out scores by -0.0005 on average
# on the sets the defaults are chosen on (between -0.004 and +0.002; a forest's
# many drawn thresholds already spread its trees' bounds over the gaps).
FOREST_TREE_DEFAULTS = {
    "forest_classifier": {"max_depth": None, "mode": "fast", "n_bins": 255, "cv_folds": 2,
                          "min_samples_leaf": 1, "threshold_placement": "edge"},
    "forest_regressor": {"max_depth": None, "mode": "fast", "n_bins": 255, "cv_folds": 2,
                         "min_samples_split": 8, "min_samples_leaf": 1,
                         "threshold_placement": "edge"},
}


def params_of(task):
    """The parameters of one estimator, in signature order: "regressor" or
    "classifier", or "forest_regressor" or "forest_classifier" (the forest's
    own, then its trees', with the forest's defaults)."""
    if task.startswith("forest_"):
        own = [p for p in FOREST_PARAMS if p.task in ("forest", task)]
        changed = FOREST_TREE_DEFAULTS[task]
        mine = {p.name for p in own}
        trees = [p.with_default(changed.get(p.name, p.default))
                 for p in params_of(task[len("forest_"):])
                 if p.name not in FOREST_EXCLUDED and p.name not in mine]
        return own + trees
    return [p for p in PARAMS if p.task in ("both", task)]


def defaults(task="both"):
    """Name -> default of the parameters shared by both estimators, or of one estimator."""
    chosen = [p for p in PARAMS if p.task == "both"] if task == "both" else params_of(task)
    return {p.name: p.default for p in chosen}


def constraints(task):
    """``_parameter_constraints`` of one estimator."""
    return {p.name: p.constraints for p in params_of(task)}


def make_init(task, extra=()):
    """An ``__init__`` taking exactly the estimator's parameters, keyword only.

    ``extra`` holds further ``(name, default)`` pairs, after the table's.
    Its ``__signature__`` lists them with their defaults, which is where
    scikit-learn's ``get_params``, ``clone`` and ``help()`` read them from.
    """
    params = [(p.name, p.default) for p in params_of(task)] + list(extra)
    names = [name for name, _ in params]

    def __init__(self, **kwargs):
        unknown = [name for name in kwargs if name not in names]
        if unknown:
            raise TypeError(
                f"{type(self).__name__}() got an unexpected keyword argument {unknown[0]!r}"
            )
        for name, default in params:
            setattr(self, name, kwargs.get(name, default))

    kind = inspect.Parameter.KEYWORD_ONLY
    __init__.__signature__ = inspect.Signature(
        [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)]
        + [inspect.Parameter(name, kind, default=default) for name, default in params]
    )
    return __init__


def docstring(task):
    """The numpydoc "Parameters" entries of one estimator."""
    out = []
    for p in params_of(task):
        out.append(f"    {p.name} : {p.kind_doc}, default={p.default!r}")
        out.extend("        " + line for line in p.doc.splitlines())
    return "\n".join(out) + "\n"


_TABLE_HEAD = ["| parameter | default | meaning |", "|---|---|---|"]


def _by_name(params):
    """The parameters grouped by name (one per task that has its own), in order."""
    groups = {}
    for p in params:
        groups.setdefault(p.name, []).append(p)
    return groups.items()


def markdown_table():
    """The README's parameter table."""
    rows = list(_TABLE_HEAD)
    for name, group in _by_name(PARAMS):
        if len(group) == 1:
            p = group[0]
            where = "" if p.task == "both" else f" ({p.task})"
            rows.append(f"| `{name}`{where} | `{p.default!r}` | {p.summary} |")
        else:
            default = " / ".join(f"`{p.default!r}`" for p in group)
            summary = "; ".join(f"{p.task}: {p.summary}" for p in group)
            rows.append(f"| `{name}` | {default} | {summary} |")
    return "\n".join(rows) + "\n"


def forest_markdown_table():
    """The README's table of the forests' own parameters and the tree settings they change."""
    rows = list(_TABLE_HEAD)
    for name, group in _by_name(FOREST_PARAMS):
        default = " / ".join(f"`{p.default!r}`" + (f" ({p.task[len('forest_'):]})" if len(group) > 1 else "")
                             for p in group)
        where = f" ({group[0].task[len('forest_'):]})" if (
            len(group) == 1 and group[0].task.startswith("forest_")) else ""
        rows.append(f"| `{name}`{where} | {default} | {group[0].summary} |")
    names = dict.fromkeys(name for settings in FOREST_TREE_DEFAULTS.values() for name in settings)
    for name in names:
        # A setting one forest leaves alone keeps the single tree's default there.
        values = {task[len("forest_"):]: next(p.default for p in params_of(task) if p.name == name)
                  for task in FOREST_TREE_DEFAULTS}
        if len(set(map(repr, values.values()))) == 1:
            default = f"`{next(iter(values.values()))!r}`"
        else:
            default = " / ".join(f"`{v!r}` ({task})" for task, v in values.items())
        rows.append(f"| `{name}` | {default} | a tree setting: the forests' default |")
    return "\n".join(rows) + "\n"


# -- checking -----------------------------------------------------------------------


def check_params(estimator, *, stored=False):
    """Check every hyperparameter of ``estimator`` against its class's constraints.

    Raises :class:`InvalidParameterError` for the first value that fits none
    of its constraints, then checks the combinations that the settings
    alone can refuse: a criterion or more bins than fast mode takes (the
    core's rules, read from ``OPTIONS`` and ``LIMITS``).  ``stored=True`` checks the settings of a stored model, which may
    hold values that earlier versions took and fit now refuses.
    """
    caller = type(estimator).__name__
    for name, accepted in type(estimator)._parameter_constraints.items():
        value = getattr(estimator, name)
        if stored:
            accepted = list(accepted) + _STORED.get(name, [])
        if not any(c.accepts(value) for c in accepted):
            kinds = [str(c) for c in accepted]
            wanted = kinds[0] if len(kinds) == 1 else ", ".join(kinds[:-1]) + " or " + kinds[-1]
            raise InvalidParameterError(
                f"The {name!r} parameter of {caller} must be {wanted}. Got {value!r} instead."
            )
    if estimator.mode == "fast":
        criterion = getattr(estimator, "criterion", None)
        if getattr(estimator, "_y_numeric", False) and criterion in NOT_FAST:
            raise InvalidParameterError(
                f'criterion="{criterion}" is not available with mode="fast" in {caller}; '
                f'use mode="strict" or criterion="{OPTIONS["fast_regression_criterion"][0]}"'
            )
        if estimator.n_bins > FAST_MAX_BINS:
            raise InvalidParameterError(
                f'n_bins={estimator.n_bins} is above {FAST_MAX_BINS}, the most bins '
                f'mode="fast" can encode in {caller}; use a smaller n_bins or mode="strict"'
            )


def resolve_threads(n_threads):
    """``n_threads`` as a count: -1 is one thread per core, -2 one fewer, and so on."""
    if n_threads >= 0:
        return int(n_threads)
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:  # not every platform has it
        cores = os.cpu_count() or 1
    return max(1, cores + 1 + int(n_threads))


def resolve_count(value, n_samples):
    """An int count as it is, a fraction of ``n_samples`` rounded up."""
    if isinstance(value, numbers.Integral):
        return int(value)
    return int(math.ceil(value * n_samples))


def resolve_max_features(value, n_features):
    """``max_features`` as a count of features, 0 for all."""
    if value is None:
        return 0
    if value == "sqrt":
        return max(1, int(math.sqrt(n_features)))
    if value == "log2":
        return max(1, int(math.log2(n_features)))
    if isinstance(value, numbers.Integral):
        if value > n_features:
            raise ValueError(f"max_features={value} is more than the {n_features} features of X")
        return int(value)
    return max(1, int(value * n_features))


def resolve_max_samples(value, n_samples, capped=False):
    """``max_samples`` as a count of rows; ``capped``: a count above ``n_samples`` is all
    of them rather than an error."""
    if value is None:
        return n_samples
    if isinstance(value, numbers.Integral):
        if value > n_samples and not capped:
            raise ValueError(f"max_samples={value} is more than the {n_samples} samples of X")
        return int(min(value, n_samples))
    return max(1, int(round(value * n_samples)))


# The settings that the native forest is given at each call rather than in
# its settings (its threads), or in another form (the categorical columns, as
# the sorted list of their indices).
_NOT_NATIVE = ("parallel", "n_threads", "categorical")


def core_settings(estimator, task_settings, categorical, n_samples, n_features, capped=False):
    """The native forest's settings (``quor._quor.RawForest``) for ``estimator``.

    The one place where an estimator's parameters become the core's: for the
    single trees (a forest of one tree on every row and every feature), the
    local forests and the Dask forests (``n_samples``: the rows of the block
    the trees grow on; ``capped``: a count of rows per tree above them is
    all of them).  ``task_settings`` are the task's (criterion, classes,
    objective), ``categorical`` the sorted indices of the categorical
    features.  Counts given as fractions are taken of ``n_samples``.
    """
    forest = hasattr(estimator, "n_estimators")
    settings = {}
    for name, _ in _shared_params(estimator):
        if name not in _NOT_NATIVE:
            settings[name] = getattr(estimator, name)
    for name in ("min_samples_split", "min_samples_leaf"):
        settings[name] = resolve_count(settings[name], n_samples)
    settings["cv_shuffle"] = bool(settings["cv_shuffle"])
    # Absent means right: settings stored before the option read the same.
    if settings.get("missing", "right") == "right":
        settings.pop("missing", None)
    # Absent means one category per split, as in settings stored before sets.
    if settings.get("categorical_split", "one") == "one":
        settings.pop("categorical_split", None)
    # Absent means bounds at the bins' edges, as in settings stored before the option.
    if settings.get("threshold_placement", "edge") == "edge":
        settings.pop("threshold_placement", None)
    settings.update(task_settings)
    settings["categorical"] = list(categorical)
    settings["max_features"] = (resolve_max_features(estimator.max_features, n_features)
                                if forest else 0)
    settings["max_samples"] = (resolve_max_samples(estimator.max_samples, n_samples, capped)
                               if forest else 0)
    # Absent means every threshold, as in settings stored before the draw.
    thresholds = getattr(estimator, "max_thresholds", None) if forest else None
    if thresholds is not None and settings["mode"] == "fast":
        settings["max_thresholds"] = int(thresholds)
    return settings


def _shared_params(estimator):
    """(name, param) of the tree settings of an estimator, trees and forests alike."""
    task = ("forest_" if hasattr(estimator, "n_estimators") else "") + (
        "regressor" if getattr(estimator, "_y_numeric", False) else "classifier")
    return [(p.name, p) for p in params_of(task) if p.task == "both"]
