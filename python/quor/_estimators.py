"""scikit-learn estimators on top of the native core."""

import numbers

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from ._quor import RawClassifier, RawObjectiveClassifier, RawRegressor
from ._tree import Tree

__all__ = ["QUORClassifier", "QUORRegressor"]

# Unsigned integer settings of the core, in the order its constructors take them.
_UNSIGNED = (
    "max_depth",
    "min_samples_split",
    "min_samples_leaf",
    "n_bins",
    "cv_folds",
    "cv_seed",
    "n_threads",
    "parallel_min_samples",
)

_COMMON_DOC = """\
    max_depth : int or None, default=8
        Depth limit of the tree; None grows until the other stopping rules
        end every branch.  The root has depth 0.
    min_samples_split : int, default=2
        Smallest node that may be split.  Values below 2 act as 2.
    min_samples_leaf : int, default=1
        Smallest child a split may leave; a split leaving fewer samples on
        either side turns the node into a leaf.  0 acts as 1.
    min_impurity_decrease : float, default=0.0
        A node is split only when the aggregated cross-validated score of its
        best candidate is strictly greater than this.
    n_bins : int, default=8
        Number of quantile bins of a continuous feature; the candidate splits
        of a feature are its bin boundaries (``split_style="threshold"``) or
        its bins (``split_style="bin"``).  Below 2, continuous features
        cannot be split.  In ``mode="fast"`` at most 65535.
    cv_folds : int, default=5
        Number of folds into which every node divides its own samples to score
        candidate splits.  Values below 2 act as 2; never more folds than
        samples (and at most 255 in ``mode="fast"``).
    cv_seed : int, default=42
        Seed of the shuffle that precedes fold assignment.
    cv_shuffle : bool, default=True
        Shuffle each node's samples before dividing them into folds.
    mode : {"strict", "fast"}, default="strict"
        ``"strict"`` re-bins every feature inside every node and fold (exact,
        slower); ``"fast"`` encodes each feature once into at most 65535
        bins and scores candidates from per-fold histograms.
    split_style : {"threshold", "bin"}, default="threshold"
        Shape of a continuous split: ``x < t`` (threshold) or membership of
        one quantile bin, ``a <= x < b`` (bin).
    aggregator : {"mean", "median", "trimmed_mean", "signal_to_noise", \
"mean_minus_lambda_std"}, default="mean"
        How the K fold scores of a candidate are reduced to one number.
    agg_frac : float, default=0.2
        ``"trimmed_mean"`` only: drops ``floor(K * agg_frac)`` scores from
        each end (always keeping at least one).  0.2 makes the default five
        folds drop their best and their worst score; 0.1 would trim nothing
        below ten folds.
    agg_eps : float, default=1e-12
        ``"signal_to_noise"`` only: the score is ``mean / (std + agg_eps)``.
        The small positive value keeps a candidate whose folds agree exactly
        (std 0) finite, and so selectable, instead of infinite or NaN, while
        leaving ``mean / std`` unchanged on data of ordinary scale.  Lower it
        for targets on a very small scale.
    agg_lambda : float, default=1.0
        ``"mean_minus_lambda_std"`` only: the score is
        ``mean - agg_lambda * std``; 1.0 ranks candidates by a one-standard-
        deviation lower bound of their fold scores.
    parallel : bool, default=False
        Grow the tree on worker threads: the largest nodes are scored on every
        thread, and separate subtrees grow on separate threads.  The tree is
        identical to a sequential fit.
    n_threads : int, default=1
        Number of worker threads when ``parallel`` is true (below 2: none).
    parallel_min_samples : int, default=512
        ``mode="fast"`` only: smallest node that is scored on several threads;
        a fit on fewer samples uses no threads at all.
    categorical : array-like of int, str or bool, default=None
        Categorical features, as column indices, as feature names (when
        fitting on a pandas DataFrame) or as a boolean mask over the columns.
        Their values are category codes: non-negative numbers, rounded to the
        nearest integer; negative and NaN values are missing.  A categorical
        split tests ``x == category``.
"""

_FITTED_DOC = """
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of str
        Feature names seen during fit (only when X had string column names).
    is_categorical_ : ndarray of bool, shape (n_features_in_,)
        Which features were treated as categorical.
    tree_ : quor.Tree
        The fitted tree as arrays (see ``quor.Tree``).
"""


def _hyperparameter_error(err, params):
    """Name the parameter behind an out-of-range integer in the core's message."""
    for name in _UNSIGNED:
        value = params.get(name)
        if isinstance(value, numbers.Integral) and not 0 <= value < 2**64:
            return ValueError(f"{name}={value!r} is out of range: {err}")
    return err


class _QUORTree(BaseEstimator):
    """What the regressor and the classifier share."""

    def _common_params(self):
        return dict(
            max_depth=self.max_depth,
            min_samples_split=self.min_samples_split,
            min_samples_leaf=self.min_samples_leaf,
            min_impurity_decrease=self.min_impurity_decrease,
            n_bins=self.n_bins,
            cv_folds=self.cv_folds,
            cv_seed=self.cv_seed,
            cv_shuffle=self.cv_shuffle,
            mode=self.mode,
            split_style=self.split_style,
            aggregator=self.aggregator,
            agg_frac=self.agg_frac,
            agg_eps=self.agg_eps,
            agg_lambda=self.agg_lambda,
            parallel=self.parallel,
            n_threads=self.n_threads,
            parallel_min_samples=self.parallel_min_samples,
        )

    def _build_core(self, raw_class, **params):
        try:
            return raw_class(**params)
        except OverflowError as err:
            raise _hyperparameter_error(err, params) from err

    def _validate_X_y(self, X, y):
        return self._validate_data(
            X, y, dtype=np.float64, force_all_finite="allow-nan", y_numeric=self._y_numeric
        )

    def _validate_X(self, X):
        check_is_fitted(self)
        return self._validate_data(X, reset=False, dtype=np.float64, force_all_finite="allow-nan")

    def _resolve_categorical(self):
        """The categorical features as a boolean mask over the fitted columns."""
        n_features = self.n_features_in_
        mask = np.zeros(n_features, dtype=bool)
        spec = self.categorical
        if spec is None:
            return mask
        if isinstance(spec, (str, numbers.Integral)):
            spec = [spec]
        try:
            items = list(spec)
        except TypeError:
            raise TypeError(
                "categorical must be None or a list of column indices, feature names "
                f"or booleans, got {type(spec).__name__}"
            ) from None
        if not items:
            return mask
        if all(isinstance(item, (bool, np.bool_)) for item in items):
            if len(items) != n_features:
                raise ValueError(
                    f"categorical as a boolean mask has {len(items)} entries, "
                    f"but X has {n_features} features"
                )
            return np.asarray(items, dtype=bool)
        if all(isinstance(item, str) for item in items):
            names = getattr(self, "feature_names_in_", None)
            if names is None:
                raise ValueError(
                    "categorical names features, but X has no feature names; "
                    "fit on a pandas DataFrame or give column indices"
                )
            position = {name: i for i, name in enumerate(names)}
            unknown = [item for item in items if item not in position]
            if unknown:
                raise ValueError(f"categorical names unknown features: {unknown}")
            mask[[position[item] for item in items]] = True
            return mask
        if all(
            isinstance(item, numbers.Integral) and not isinstance(item, (bool, np.bool_))
            for item in items
        ):
            bad = [int(item) for item in items if not 0 <= item < n_features]
            if bad:
                raise ValueError(
                    f"categorical indices must be in [0, {n_features - 1}], got {bad}"
                )
            mask[[int(item) for item in items]] = True
            return mask
        raise TypeError(
            "categorical must hold only column indices, only feature names "
            f"or only booleans, got {items!r}"
        )

    def _fit_core(self, X, y, raw_class, fitted=(), **task_params):
        """Build and fit the core; set the fitted attributes only once it succeeded."""
        is_categorical = self._resolve_categorical()
        core = self._build_core(
            raw_class,
            **task_params,
            **self._common_params(),
            categorical=np.flatnonzero(is_categorical).tolist(),
        )
        core.fit(X, y)
        for name, value in dict(fitted).items():
            setattr(self, name, value)
        self.is_categorical_ = is_categorical
        self._core = core
        self._tree = None
        return self

    # -- reading the fitted tree ------------------------------------------------

    def get_depth(self):
        """Depth of the tree: the number of splits on the longest root-to-leaf path."""
        check_is_fitted(self)
        return self._core.depth()

    def get_n_leaves(self):
        """Number of leaves of the tree."""
        check_is_fitted(self)
        return self._core.n_leaves()

    @property
    def tree_(self):
        """The fitted tree as arrays (a :class:`quor.Tree`)."""
        check_is_fitted(self)
        if self._tree is None:
            self._tree = Tree(self._core.export_tree(), self._n_classes_for_tree())
        return self._tree

    @property
    def n_outputs_(self):
        """Number of outputs: always 1."""
        check_is_fitted(self)
        return 1

    def export_tree(self):
        """The fitted tree as a dictionary of per-node lists, in pre-order."""
        check_is_fitted(self)
        return self._core.export_tree()

    # -- pickling -----------------------------------------------------------

    def __getstate__(self):
        state = dict(super().__getstate__())
        core = state.pop("_core", None)
        state.pop("_tree", None)
        if core is not None:
            state["_tree_dump"] = core.export_tree()
        return state

    def __setstate__(self, state):
        state = dict(state)
        dump = state.pop("_tree_dump", None)
        super().__setstate__(state)
        if dump is not None:
            self._core = self._rebuild_core(dump, np.flatnonzero(self.is_categorical_).tolist())
            self._tree = None

    def _more_tags(self):
        return {"allow_nan": True}


class QUORRegressor(RegressorMixin, _QUORTree):
    __doc__ = (
        """Regression tree whose every split is chosen by cross-validation in the node.

    At each node the node's own samples are divided into ``cv_folds`` folds;
    every candidate split of every feature is scored on each fold (the
    decrease of the criterion on the held-out part) and the fold scores are
    reduced to one number by ``aggregator``.  The best candidate is taken if
    its score exceeds ``min_impurity_decrease``.  Missing values (NaN) are
    allowed in X and always go to the right child.

    Parameters
    ----------
    criterion : {"mse", "variance", "mae"}, default="mse"
        Impurity whose decrease scores a split.  "variance" is the same as
        "mse"; "mae" is not available in ``mode="fast"``.
"""
        + _COMMON_DOC
        + """
    Attributes
    ----------"""
        + _FITTED_DOC
        + """
    Examples
    --------
    >>> from quor import QUORRegressor
    >>> reg = QUORRegressor(max_depth=3).fit([[0.0], [1.0], [2.0], [3.0]], [0, 0, 1, 1])
    """
    )

    _y_numeric = True

    def __init__(
        self,
        *,
        criterion="mse",
        max_depth=8,
        min_samples_split=2,
        min_samples_leaf=1,
        min_impurity_decrease=0.0,
        n_bins=8,
        cv_folds=5,
        cv_seed=42,
        cv_shuffle=True,
        mode="strict",
        split_style="threshold",
        aggregator="mean",
        agg_frac=0.2,
        agg_eps=1e-12,
        agg_lambda=1.0,
        parallel=False,
        n_threads=1,
        parallel_min_samples=512,
        categorical=None,
    ):
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_impurity_decrease = min_impurity_decrease
        self.n_bins = n_bins
        self.cv_folds = cv_folds
        self.cv_seed = cv_seed
        self.cv_shuffle = cv_shuffle
        self.mode = mode
        self.split_style = split_style
        self.aggregator = aggregator
        self.agg_frac = agg_frac
        self.agg_eps = agg_eps
        self.agg_lambda = agg_lambda
        self.parallel = parallel
        self.n_threads = n_threads
        self.parallel_min_samples = parallel_min_samples
        self.categorical = categorical

    def fit(self, X, y):
        """Grow the tree.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training features; NaN marks a missing value.
        y : array-like of shape (n_samples,)
            Targets.

        Returns
        -------
        self
        """
        X, y = self._validate_X_y(X, y)
        y = np.ascontiguousarray(y, dtype=np.float64)
        return self._fit_core(X, y, RawRegressor, criterion=self.criterion)

    def predict(self, X):
        """Predict the target of every row of X.

        Returns
        -------
        ndarray of float64, shape (n_samples,)
        """
        X = self._validate_X(X)
        return self._core.predict(X)

    def _n_classes_for_tree(self):
        return None

    def _rebuild_core(self, dump, categorical):
        return RawRegressor.from_tree(dump, categorical)


class QUORClassifier(ClassifierMixin, _QUORTree):
    __doc__ = (
        """Classification tree whose every split is chosen by cross-validation in the node.

    At each node the node's own samples are divided into ``cv_folds`` folds;
    every candidate split of every feature is scored on each fold and the
    fold scores are reduced to one number by ``aggregator``.  A fold score is
    the decrease of ``criterion`` on the held-out part or, when ``objective``
    is given, the gain in that metric of predicting the training majority of
    each child instead of the node's.  Missing values (NaN) are allowed in X
    and always go to the right child.  Any labels that scikit-learn accepts
    can be used (strings, integers, floats); ``classes_`` holds them sorted.

    Parameters
    ----------
    criterion : {"gini", "entropy"}, default="gini"
        Impurity whose decrease scores a split.  Ignored when ``objective``
        is given.
    objective : {"precision", "recall", "f1", "fbeta", "accuracy"} or None, \
default=None
        Choose splits by this metric measured on the held-out folds instead
        of by an impurity.
    average : {"binary", "micro", "macro", "weighted"}, default="binary"
        Averaging of precision, recall, F1 and F-beta over the classes, as in
        scikit-learn's metrics; "binary" scores the class ``pos_label`` only.
    pos_label : label or None, default=None
        The positive class of ``average="binary"``, given as one of the
        labels of y.  None means the greater of the two labels (1 for {0, 1}
        or {-1, 1}, "yes" for {"no", "yes"}), as scikit-learn's metrics do for
        {0, 1} and {-1, 1}; with more than two classes it must be given.  A
        label absent from y raises ValueError.
    beta : float, default=1.0
        Weight of recall against precision in ``objective="fbeta"``.
"""
        + _COMMON_DOC
        + """
    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The class labels, sorted.
    n_classes_ : int
        Number of classes."""
        + _FITTED_DOC
        + """
    Examples
    --------
    >>> from quor import QUORClassifier
    >>> clf = QUORClassifier(max_depth=3).fit([[0.0], [1.0], [2.0], [3.0]], ["a", "a", "b", "b"])
    """
    )

    _y_numeric = False

    def __init__(
        self,
        *,
        criterion="gini",
        objective=None,
        average="binary",
        pos_label=None,
        beta=1.0,
        max_depth=8,
        min_samples_split=2,
        min_samples_leaf=1,
        min_impurity_decrease=0.0,
        n_bins=8,
        cv_folds=5,
        cv_seed=42,
        cv_shuffle=True,
        mode="strict",
        split_style="threshold",
        aggregator="mean",
        agg_frac=0.2,
        agg_eps=1e-12,
        agg_lambda=1.0,
        parallel=False,
        n_threads=1,
        parallel_min_samples=512,
        categorical=None,
    ):
        self.criterion = criterion
        self.objective = objective
        self.average = average
        self.pos_label = pos_label
        self.beta = beta
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_impurity_decrease = min_impurity_decrease
        self.n_bins = n_bins
        self.cv_folds = cv_folds
        self.cv_seed = cv_seed
        self.cv_shuffle = cv_shuffle
        self.mode = mode
        self.split_style = split_style
        self.aggregator = aggregator
        self.agg_frac = agg_frac
        self.agg_eps = agg_eps
        self.agg_lambda = agg_lambda
        self.parallel = parallel
        self.n_threads = n_threads
        self.parallel_min_samples = parallel_min_samples
        self.categorical = categorical

    def fit(self, X, y):
        """Grow the tree.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training features; NaN marks a missing value.
        y : array-like of shape (n_samples,)
            Class labels.

        Returns
        -------
        self
        """
        X, y = self._validate_X_y(X, y)
        check_classification_targets(y)
        classes, y_encoded = np.unique(y, return_inverse=True)
        y_encoded = np.ascontiguousarray(y_encoded, dtype=np.int64)
        fitted = {"classes_": classes, "n_classes_": len(classes)}
        if self.objective is None:
            return self._fit_core(
                X, y_encoded, RawClassifier, fitted, n_classes=len(classes), criterion=self.criterion
            )
        return self._fit_core(
            X,
            y_encoded,
            RawObjectiveClassifier,
            fitted,
            n_classes=len(classes),
            objective=self.objective,
            average=self.average,
            pos_label=self._encoded_pos_label(classes),
            beta=self.beta,
        )

    def _encoded_pos_label(self, classes):
        """Index in ``classes`` of the positive class of binary averaging."""
        labels = classes.tolist()
        if self.pos_label is not None:
            matches = [i for i, label in enumerate(labels) if label == self.pos_label]
            if len(matches) != 1:
                raise ValueError(
                    f"pos_label={self.pos_label!r} is not a valid label: "
                    f"it should be one of {labels}"
                )
            return matches[0]
        uses_pos_label = self.objective in ("precision", "recall", "f1", "fbeta")
        if uses_pos_label and self.average == "binary" and len(labels) > 2:
            raise ValueError(
                f"y has {len(labels)} classes, so average='binary' needs pos_label; "
                "give it or choose another average"
            )
        return max(len(labels) - 1, 0)

    def predict(self, X):
        """Predict the class label of every row of X.

        Returns
        -------
        ndarray of shape (n_samples,)
            Labels taken from ``classes_``.
        """
        X = self._validate_X(X)
        return self.classes_.take(self._core.predict(X))

    def predict_proba(self, X):
        """Class probabilities of the leaf every row of X reaches.

        Returns
        -------
        ndarray of float64, shape (n_samples, n_classes)
            Columns in the order of ``classes_``.
        """
        X = self._validate_X(X)
        return self._core.predict_proba(X)

    def predict_log_proba(self, X):
        """Logarithm of :meth:`predict_proba` (``-inf`` for probability 0)."""
        with np.errstate(divide="ignore"):
            return np.log(self.predict_proba(X))

    def _n_classes_for_tree(self):
        return self.n_classes_

    def _rebuild_core(self, dump, categorical):
        raw_class = RawClassifier if self.objective is None else RawObjectiveClassifier
        return raw_class.from_tree(dump, self.n_classes_, categorical)
