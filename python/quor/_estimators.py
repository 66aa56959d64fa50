"""scikit-learn estimators on top of the native core."""

import warnings

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from . import _params, _weights
from ._compat import TagsMixin
from ._decision import chosen_decision, refitter
from ._input import fit_input, install, predict_input
from ._quor import LIMITS, OPTIONS, RawForest
from ._tree import Tree, held_out_importances_per_tree, importances_per_tree, tree_arrays

__all__ = ["FittedAttributes", "NativeModel", "QUORClassifier", "QUORRegressor"]

# The largest magnitude of a regression target, and so of a leaf value: a sum
# of fewer than 2**63 of them stays finite. The forests' core refuses larger
# targets itself; model files refuse larger leaf values.
LARGEST_TARGET = LIMITS["largest_target"]

# The fitted attributes that describe the columns, as every estimator documents them.
INPUT_ATTRIBUTES_DOC = """
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of str
        Feature names seen during fit (only when X had string column names).
    is_categorical_ : ndarray of bool, shape (n_features,)
        Which features were treated as categorical.
"""

_FITTED_DOC = INPUT_ATTRIBUTES_DOC + """    categories_ : list of (ndarray or None), length n_features
        For a feature whose values are categories (a pandas ``category``
        column, or a text column named in ``categorical``): the categories
        seen at fit, whose positions are the codes shown by ``tree_``.
        None for numeric features.
    feature_importances_ : ndarray of float64, shape (n_features,)
        Importance of each feature measured on folds that did not choose
        the splits: at every split, each of the node's K folds takes the
        candidate that the aggregate of the other K - 1 folds' scores
        prefers (the node's own choice rule) and scores it on its own
        samples alone; the fold credits that score to the candidate's
        feature.  A split adds the mean over its folds times the fraction
        of the training weight that reached it (of the training samples,
        without weights).  Each credit is clipped below at 0 (a choice
        that loses on the fold that did not make it earns nothing), then
        the sums are normalised to sum to 1; all zeros for a tree that is
        one leaf or whose splits gain nothing on such folds.  A feature
        that only fits noise earns about nothing, however many distinct
        values it has.  Models saved before this measure keep the
        importances they stored.
    split_score_importances_ : ndarray of float64, shape (n_features,)
        The earlier measure: over the splits on each feature, the split's
        aggregated cross-validated score (clipped below at 0) times the
        fraction of the training weight that reached it, normalised.  That
        score is the best of many candidates' and overstates the split,
        most in small nodes.
    tree_ : quor.Tree
        The fitted tree as arrays (see ``quor.Tree``).
"""

_INTRO = """
    At each node the node's own samples are divided into ``cv_folds`` folds;
    every candidate split of every feature is scored on each fold and the
    fold scores are reduced to one number by ``aggregator``.  The best
    candidate is taken if its score exceeds ``min_impurity_decrease``.
    Missing values (NaN, None) are allowed in X and go where ``missing``
    says (by default, to the side the held-out scores choose).  A fit that
    ends as a single leaf although the root could be split because no
    candidate got a finite score on the held-out folds (every fold too
    small, e.g. ``cv_folds`` close to the number of samples) warns with a
    ``UserWarning``.  Hyperparameters are checked at
    the start of ``fit``; a failing ``fit`` leaves a fitted estimator as it
    was.
"""


class FittedAttributes:
    """Reading a fitted attribute (``classes_``, ``feature_importances_`` ...)
    of an estimator that was never fitted raises scikit-learn's
    ``NotFittedError`` (an ``AttributeError`` too, so ``hasattr`` stays
    False) instead of a bare ``AttributeError``."""

    def __getattr__(self, name):  # called only when the attribute is not found
        # Optional attributes (feature_names_in_) are looked up at every
        # predict, so the cheap test first: every fit sets n_features_in_.
        if (name.endswith("_") and not name.startswith("_")
                and "n_features_in_" not in vars(self)):
            check_is_fitted(self)
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")


class NativeModel(FittedAttributes, TagsMixin, BaseEstimator):
    """What every estimator shares that holds a native forest (one tree for
    the single trees): how it is kept, pickled and restored.

    The fitted model is ``_forest`` (a ``quor._quor.RawForest``), made from
    ``_forest_kind`` and ``_forest_settings``; a pickle holds its flat
    arrays, which the native loader checks when they are read back.
    """

    def _install_native(self, forest, kind, settings):
        self._forest, self._forest_kind, self._forest_settings = forest, kind, settings
        self._clear_views()

    def _clear_views(self):
        """Drops what is made from the fitted model when first read."""

    def __getstate__(self):
        state = dict(super().__getstate__())
        forest = state.pop("_forest", None)
        for name in self._views():
            state.pop(name, None)
        if forest is not None:
            state["_forest_arrays"] = forest.export_arrays()
        return state

    def __setstate__(self, state):
        state = dict(state)
        arrays = state.pop("_forest_arrays", None)
        old_dump = state.pop("_tree_dump", None)  # a single tree pickled by quor 0.2 or earlier
        for name, value in _params.LEGACY_DEFAULTS.items():
            if name not in state and name in self._parameter_constraints:
                state[name] = value  # pickled before the parameter existed
        super().__setstate__(state)
        # Parameters that quor added since the pickle was made, at their
        # defaults: the values its trees were grown with.
        for name, parameter in type(self).__init__.__signature__.parameters.items():
            if name != "self" and name not in vars(self):
                setattr(self, name, parameter.default)
        settings = getattr(self, "_forest_settings", None)
        if settings is not None and "min_weight_fraction_leaf" not in settings:
            self._forest_settings = dict(settings, min_weight_fraction_leaf=0.0)
        if old_dump is not None:
            self._forest_kind, self._forest_settings = self._native_kind(), \
                restored_settings(self, old_dump["n_samples"][0])
            arrays = tree_arrays(old_dump, getattr(self, "n_classes_", None))
        self._clear_views()
        if arrays is not None:
            self._forest = RawForest.from_arrays(self._forest_kind, self._forest_settings, arrays)

    @staticmethod
    def _views():
        return ()


class _QUORTree(NativeModel):
    """What the regressor and the classifier share: a native forest of one
    tree grown on every row and every feature, which is the single tree."""

    def _fit(self, X, y, sample_weight):
        """Check everything, fit a new native model, and install it and its attributes together."""
        _params.check_params(self)
        X, y, fitted = fit_input(self, X, y, y_numeric=self._y_numeric)
        kind, task_settings, targets, task_fitted = prepare_targets(self, y)
        weights, n_kept = fit_weights(self, sample_weight, targets, task_fitted.get("classes_"))
        mask = fitted["is_categorical_"]
        decision = self._decision(X, y, sample_weight, targets, weights, fitted, task_fitted)
        if decision:
            kind, task_settings, _, _ = prepare_targets(self, y, decision["objective_splits_"])
        settings = _params.core_settings(self, task_settings, np.flatnonzero(mask).tolist(),
                                         len(X) if weights is None else n_kept, X.shape[1])
        forest = RawForest(kind, settings)
        forest.fit(X, targets, [0], self._n_threads(), False, None, **weight_arguments(weights))
        fitted.update(task_fitted)
        for name in ("objective_splits_", "decision_weights_"):
            if name not in decision and hasattr(self, name):
                delattr(self, name)
        fitted.update(decision)
        fitted["feature_importances_"] = native_importances(forest, len(mask))[0]
        install(self, fitted)
        self._install_native(forest, kind, settings)
        self._forest_member = False
        if forest.n_leaves(0) == 1:
            _warn_if_no_fold_could_score(forest)
        return self

    def _decision(self, X, y, sample_weight, targets, weights, fitted, task_fitted):
        """The fitted attributes of the decision (none for a regressor)."""
        return {}

    def _n_threads(self):
        return _params.resolve_threads(self.n_threads) if self.parallel else 1

    def _clear_views(self):
        self._tree = None

    @staticmethod
    def _views():
        return ("_tree",)

    def _predict_matrix(self, X):
        return predict_input(self, X)

    def _route(self, method, X):
        """The native ``predict`` or ``predict_proba`` of X on the estimator's threads.

        The core looks for infinite values in X itself, while it has the rows
        in cache, instead of in a pass of its own; when it finds one,
        scikit-learn's check of X raises its usual error.
        """
        X = predict_input(self, X, check_finite=False)
        out = getattr(self._forest, method + "_finite")(X, self._n_threads())
        if out is None:
            predict_input(self, X)
            raise ValueError("Input X contains infinity.")
        return out

    # -- reading the fitted tree ------------------------------------------------

    def get_depth(self):
        """Depth of the tree: the number of splits on the longest root-to-leaf path.

        Returns
        -------
        int
            0 for a tree that is one leaf.
        """
        check_is_fitted(self)
        return self._forest.depth(0)

    def get_n_leaves(self):
        """Number of leaves of the tree.

        Returns
        -------
        int
            At least 1.
        """
        check_is_fitted(self)
        return self._forest.n_leaves(0)

    @property
    def tree_(self):
        """The fitted tree as arrays (a :class:`quor.Tree`)."""
        check_is_fitted(self)
        if self._tree is None:
            arrays = self._forest.export_arrays()
            self._tree = Tree(self._forest.export_tree(0), self._n_classes_for_tree(),
                              node_weights(arrays), arrays.get("missing_left"),
                              arrays.get("set_offsets"), arrays.get("set_words"))
            weights = getattr(self, "decision_weights_", None)
            if weights is not None:  # each leaf's class is the one predict gives
                tree = self._tree
                weighed = np.argmax(np.where(tree.is_leaf[:, None], tree.value, 0) * weights, axis=1)
                tree.predicted_class = np.where(tree.is_leaf, weighed, -1)
        return self._tree

    @property
    def split_score_importances_(self):
        """Importances from the scores the splits won with: over the splits on each
        feature, the split's aggregated held-out score (clipped below at 0) times
        the share of the training weight that reached it, normalised to sum to 1.
        Each score is the best of many candidates' and so overstates the split;
        ``feature_importances_`` measures each split on folds that did not
        choose it."""
        check_is_fitted(self)
        return split_score_importances_per_tree(self._forest.export_arrays(),
                                                self.n_features_in_)[0]

    @property
    def n_outputs_(self):
        """Number of outputs: always 1."""
        check_is_fitted(self)
        return 1

    def export_tree(self):
        """The fitted tree as a dictionary of per-node lists, in pre-order.

        Returns
        -------
        dict
            The dump of the native core (described on the page of the raw
            classes): ``node_count``, then one list per field (``is_leaf``,
            ``children_left``, ``children_right``, ``feature``, ``lower``,
            ``upper`` ...) with one entry per node.  ``tree_`` holds the
            same tree as arrays.
        """
        check_is_fitted(self)
        return self._forest.export_tree(0)

    def apply(self, X):
        """Index of the leaf that each row of X reaches (a node of ``tree_``, pre-order).

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
            Rows to route, with the columns seen at fit; NaN marks a
            missing value.

        Returns
        -------
        ndarray of int64, shape (n_samples,)
            The node index of each row's leaf.
        """
        X = self._predict_matrix(X)  # checks that the estimator is fitted
        return self._forest.apply(X, self._n_threads())[:, 0]

    def decision_path(self, X):
        """The nodes each row of X passes through, root first, as a sparse indicator.

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
            Rows to route, with the columns seen at fit; NaN marks a
            missing value.

        Returns
        -------
        scipy.sparse.csr_matrix of shape (n_samples, n_nodes)
            Entry (i, j) is 1 when row i passes node j (``n_nodes`` is
            ``tree_.node_count``).
        """
        from scipy.sparse import csr_matrix

        X = self._predict_matrix(X)
        indptr, indices = self._forest.decision_path(X, 0, self._n_threads())
        data = np.ones(len(indices), dtype=np.int64)
        return csr_matrix((data, indices, indptr), shape=(len(X), self.tree_.node_count))


def _warn_if_no_fold_could_score(forest):
    """Warn when a one-leaf tree's root was searched but no fold could score a candidate.

    The core reports how the root ended: past the stopping rules (enough
    samples, depth left, targets not all alike), and whether any candidate
    of it got a finite aggregated score on its held-out folds.
    """
    root = forest.root_report(0)
    if root is not None and root.get("unstorable"):
        warnings.warn(
            "the tree is a single leaf: the root's best split sends every finite value left and "
            "only missing values right, which a split with missing values always right cannot "
            "store; use missing=\"learn\"",
            UserWarning,
            stacklevel=4,
        )
        return
    if root is None or not root["searched"] or root["scored"]:
        return
    n, folds = root["n_samples"], root["n_folds"]
    warnings.warn(
        f"the tree is a single leaf: no candidate split of the root could be scored on its "
        f"held-out folds ({folds} folds of about {n // folds} of the {n} samples each); use "
        f"fewer cv_folds",
        UserWarning,
        stacklevel=4,
    )


def native_importances(forest, n_features):
    """Each tree's feature importances, one row per tree: measured on the folds that
    did not choose each split, or for trees stored without that measurement
    (grown before it), from the scores the splits won with."""
    return arrays_importances(forest.export_arrays(), n_features)


def arrays_importances(arrays, n_features, clip="credit"):
    """native_importances from the native forest's arrays (``clip``: see
    held_out_importances_per_tree)."""
    if "held_out_count" in arrays:
        return held_out_importances_per_tree(arrays, node_weights(arrays), n_features, clip)
    return split_score_importances_per_tree(arrays, n_features)


def split_score_importances_per_tree(arrays, n_features):
    """Each tree's importances from the aggregated scores its splits won with."""
    return importances_per_tree(arrays["is_leaf"], arrays["feature"], node_weights(arrays),
                                arrays["split_score"], arrays["node_offsets"], n_features)


def mean_importances(per_tree, n_features):
    """A forest's importances: the mean of its trees' that have any (a tree that is
    one leaf has none)."""
    grown = per_tree[per_tree.sum(axis=1) > 0]
    return grown.mean(axis=0) if len(grown) else np.zeros(n_features)


def node_weights(arrays):
    """The training weight at every node; its row count for trees stored before weights."""
    return arrays["node_weight"] if "node_weight" in arrays else arrays["n_samples"]


_SAMPLE_WEIGHT_DOC = """sample_weight : array-like of shape (n_samples,), default=None
            Weight of every row (finite, 0 or more, not all 0); None weighs
            every row 1.  Every sum over rows that scores a split or sets a
            leaf's value is a sum of weights; a row of weight 0 is the same
            as a row left out.  Folds, bins, ``min_samples_split``,
            ``min_samples_leaf`` and ``max_samples`` count rows (those of
            non-zero weight).  See the README's section on weights."""


def weight_doc(method):
    """Puts the description of ``sample_weight`` in place of "{sample_weight}" in a fit's
    docstring (written once for every estimator)."""
    method.__doc__ = method.__doc__.replace("{sample_weight}", _SAMPLE_WEIGHT_DOC)
    return method


_X_DOC = """X : array-like or DataFrame of shape (n_samples, n_features)
            Rows to predict, with the columns seen at fit; NaN marks a
            missing value."""
_PROBA_DOC = """Returns
        -------
        ndarray of float64, shape (n_samples, n_classes)
            Columns in the order of ``classes_``."""


def rows_doc(method):
    """Puts the description of the rows to predict in place of "{X}", and of the
    class probabilities returned in place of "{proba}", in a method's docstring
    (written once for every estimator)."""
    method.__doc__ = method.__doc__.replace("{X}", _X_DOC).replace("{proba}", _PROBA_DOC)
    return method


def fit_weights(estimator, sample_weight, targets, classes=None):
    """The weight of every row for a fit of ``estimator`` (``sample_weight`` times the
    class weights of classifiers) and the number of rows of non-zero weight, or
    ``(None, None)`` when nothing is weighted; ValueErrors in the user's terms."""
    weights = _weights.check_sample_weight(sample_weight, len(targets))
    per_class = None
    if classes is not None:
        class_weight = estimator.class_weight
        _weights.check_class_weight(class_weight, classes,
                                    subsample_allowed=hasattr(estimator, "n_estimators"))
        per_class = _weights.class_weights(class_weight, classes, targets, weights)
    return _weights.row_weights(weights, per_class, targets)


def weight_arguments(weights, balanced_subsample=False):
    """The keyword arguments of the native fit for these weights (none without any)."""
    if balanced_subsample:
        return {"sample_weight": weights, "balanced_subsample": True}
    return {} if weights is None else {"sample_weight": weights}


def restored_settings(estimator, n_samples):
    """The native settings of a single tree restored from a form without them (a
    pickle or model file of an earlier quor), whose root held ``n_samples`` rows."""
    kind, task_settings, _, _ = prepare_targets(
        estimator, getattr(estimator, "classes_", np.zeros(0)))
    categorical = np.flatnonzero(estimator.is_categorical_).tolist()
    return _params.core_settings(estimator, task_settings, categorical, max(int(n_samples), 1),
                                 estimator.n_features_in_)


def prepare_targets(estimator, y, chosen=None):
    """What a fit of ``estimator`` makes of the targets ``y``: the native kind, the
    task's settings, the targets as the core takes them (floats, or class indices)
    and the task's fitted attributes.  Also checks ``pos_label`` against the classes.
    ``chosen`` is the kind of splits a tree chose (its ``objective_splits_``)."""
    if estimator._y_numeric:
        return "regressor", {"criterion": estimator.criterion}, \
            np.ascontiguousarray(y, dtype=np.float64), {}
    check_classification_targets(y)
    classes, encoded = np.unique(y, return_inverse=True)
    targets = np.ascontiguousarray(encoded, dtype=np.int64)
    fitted = {"classes_": classes, "n_classes_": len(classes)}
    encoded_pos_label(estimator, classes)  # checks pos_label
    if estimator.objective is None or splits_by_criterion(estimator, chosen):
        return "classifier", {"n_classes": len(classes), "criterion": estimator.criterion}, \
            targets, fitted
    return "objective_classifier", objective_task(estimator, classes), targets, fitted


# Why scikit-learn's check that predict is the argmax of predict_proba fails
# for a classifier whose decision serves a metric.
DECISION_IS_NOT_ARGMAX = (
    "predict takes the class of largest decision_weights_ * predict_proba, the weights "
    "chosen for the objective's metric, not the class of largest predict_proba")


def splits_by_criterion(estimator, chosen=None):
    """Whether a classifier with an objective grows its trees by its criterion (the
    objective then only chooses the decision): as its ``objective_splits`` says,
    or as a tree ``chosen`` (``objective_splits_``)."""
    splits = chosen or getattr(estimator, "objective_splits", "objective")
    return getattr(estimator, "objective", None) is not None and splits == "criterion"


def objective_task(estimator, classes):
    """The objective's task settings for ``classes``."""
    pos_label = encoded_pos_label(estimator, classes)
    task = {"n_classes": len(classes), "objective": estimator.objective,
            "average": estimator.average, "pos_label": pos_label, "beta": float(estimator.beta)}
    # Absent, the core keeps the majority rule: so do the settings of models
    # saved before the rule could be chosen.
    if estimator.objective_labels != "majority":
        task["objective_labels"] = estimator.objective_labels
    return task


def _doc(summary, task, head, attributes):
    return (f"{summary}\n{_INTRO}{head}\n    Parameters\n    ----------\n"
            + _params.docstring(task)
            + "\n    Attributes\n    ----------" + attributes + _FITTED_DOC)


class QUORRegressor(RegressorMixin, _QUORTree):
    __doc__ = _doc(
        "Regression tree whose every split is chosen by cross-validation in the node.",
        "regressor", "", "",
    ) + """
    Examples
    --------
    >>> from quor import QUORRegressor
    >>> X = [[float(i)] for i in range(20)]
    >>> y = [0.0] * 10 + [1.0] * 10
    >>> reg = QUORRegressor(max_depth=3).fit(X, y)
    >>> reg.predict([[2.0], [15.0]]).round(2).tolist()
    [0.0, 1.0]
    >>> reg.get_depth(), reg.get_n_leaves()
    (1, 2)
    """

    _y_numeric = True
    _parameter_constraints = _params.constraints("regressor")
    __init__ = _params.make_init("regressor")

    @weight_doc
    def fit(self, X, y, sample_weight=None):
        """Grow the tree.

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
            Training features; NaN marks a missing value.
        y : array-like of shape (n_samples,)
            Targets.
        {sample_weight}

        Returns
        -------
        self : QUORRegressor
            The fitted estimator.
        """
        return self._fit(X, y, sample_weight)

    @rows_doc
    def predict(self, X):
        """Predict the target of every row of X.

        Parameters
        ----------
        {X}

        Returns
        -------
        ndarray of float64, shape (n_samples,)
            The value of the leaf each row reaches.
        """
        return self._route("predict", X)

    def _n_classes_for_tree(self):
        return None

    @staticmethod
    def _native_kind():
        return "regressor"


def check_criterion_or_objective(classifier):
    """A classifier scores splits by its criterion unless it has an objective: one of them is set."""
    if classifier.objective is None and classifier.criterion is None:
        raise _params.InvalidParameterError(
            "criterion=None needs an objective: give criterion='gini' or 'entropy', "
            "or an objective"
        )


class QUORClassifier(ClassifierMixin, _QUORTree):
    __doc__ = _doc(
        "Classification tree whose every split is chosen by cross-validation in the node.",
        "classifier",
        """
    A fold score is the decrease of ``criterion`` on the held-out part or,
    when ``objective`` is given and the tree splits by it, the gain in that
    metric of the children's predictions over the node's (each predicting
    the class ``objective_labels`` gives).  With an ``objective`` the tree
    may also split by ``criterion`` and decide by class weights chosen for
    the metric on held-out folds (``objective_splits``).  Any labels that
    scikit-learn accepts can be used (strings, integers, floats);
    ``classes_`` holds them sorted.
""",
        """
    classes_ : ndarray of shape (n_classes,)
        The class labels, sorted.
    n_classes_ : int
        Number of classes.
    objective_splits_ : {"objective", "criterion"}
        With an ``objective`` and ``objective_splits`` "select" or
        "criterion": the kind of splits the tree was grown by.
    decision_weights_ : ndarray of float64, shape (n_classes,) or None
        With ``objective_splits_``: ``predict`` takes the class of largest
        ``decision_weights_ * predict_proba`` (None: too few rows to choose
        them; the leaves' classes decide).""",
    ) + """
    Examples
    --------
    >>> from quor import QUORClassifier
    >>> X = [[float(i)] for i in range(20)]
    >>> y = ["a"] * 10 + ["b"] * 10
    >>> clf = QUORClassifier(max_depth=3).fit(X, y)
    >>> clf.predict([[2.0], [15.0]]).tolist()
    ['a', 'b']
    >>> clf.predict_proba([[2.0], [15.0]]).round(2).tolist()
    [[1.0, 0.0], [0.0, 1.0]]
    >>> clf.classes_.tolist(), clf.get_depth()
    (['a', 'b'], 1)
    """

    _y_numeric = False
    _parameter_constraints = _params.constraints("classifier")
    __init__ = _params.make_init("classifier")

    @weight_doc
    def fit(self, X, y, sample_weight=None):
        """Grow the tree.

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
            Training features; NaN marks a missing value.
        y : array-like of shape (n_samples,)
            Class labels.
        {sample_weight}
            A row weighs ``sample_weight[i]`` times the ``class_weight`` of its class.

        Returns
        -------
        self : QUORClassifier
            The fitted estimator.
        """
        check_criterion_or_objective(self)
        return self._fit(X, y, sample_weight)

    @rows_doc
    def predict(self, X):
        """Predict the class label of every row of X.

        Parameters
        ----------
        {X}

        Returns
        -------
        ndarray of shape (n_samples,)
            Labels taken from ``classes_``.
        """
        weights = getattr(self, "decision_weights_", None)
        if weights is not None:
            return self.classes_.take(np.argmax(self._route("predict_proba", X) * weights, axis=1))
        classes = self._route("predict", X)
        return self.classes_.take(classes)

    @rows_doc
    def predict_proba(self, X):
        """Class probabilities of the leaf every row of X reaches.

        Parameters
        ----------
        {X}

        {proba}
        """
        return self._route("predict_proba", X)

    @rows_doc
    def predict_log_proba(self, X):
        """Logarithm of :meth:`predict_proba` (``-inf`` for probability 0).

        Parameters
        ----------
        {X}

        {proba}
        """
        with np.errstate(divide="ignore"):
            return np.log(self.predict_proba(X))

    def _more_tags(self):  # scikit-learn before 1.6 (later: expected_failed_checks)
        if self.objective is None or self.objective_splits == "objective":
            return {}
        return {"_xfail_checks": {"check_classifiers_train": DECISION_IS_NOT_ARGMAX}}

    def _n_classes_for_tree(self):
        return self.n_classes_

    def _native_kind(self):
        if self.objective is None or splits_by_criterion(self, getattr(self, "objective_splits_", None)):
            return "classifier"
        return "objective_classifier"

    def _decision(self, X, y, sample_weight, targets, weights, fitted, task_fitted):
        """With an objective and ``objective_splits`` "criterion" or "select": the
        kind of splits and the decision weights chosen on held-out folds."""
        if self.objective is None or self.objective_splits == "objective":
            return {}
        if self.criterion is None:
            raise _params.InvalidParameterError(
                f"objective_splits={self.objective_splits!r} grows trees by their criterion too: "
                "give criterion='gini' or 'entropy', or objective_splits='objective'")
        classes = task_fitted["classes_"]
        params = dict(self.get_params(), objective_splits="objective",
                      categorical=np.flatnonzero(fitted["is_categorical_"]).tolist())
        kinds = ["objective", "criterion"] if self.objective_splits == "select" else ["criterion"]
        objectives = {"objective": self.objective, "criterion": None}
        candidates = {kind: refitter(
            lambda objective=objectives[kind]: QUORClassifier(**dict(params, objective=objective)),
            X, y, sample_weight, classes) for kind in kinds}
        chosen = chosen_decision(objective_task(self, classes), candidates, targets, weights,
                                 self.decision_folds)
        if chosen is None:  # too few rows for the folds
            return {"objective_splits_": "objective", "decision_weights_": None}
        return {"objective_splits_": chosen[0], "decision_weights_": chosen[1]}


def encoded_pos_label(estimator, classes):
    """Index in ``classes`` of the positive class of binary averaging."""
    labels = classes.tolist()
    if estimator.pos_label is not None:
        matches = [i for i, label in enumerate(labels) if label == estimator.pos_label]
        if len(matches) != 1:
            raise ValueError(
                f"pos_label={estimator.pos_label!r} is not a valid label: "
                f"it should be one of {labels}"
            )
        return matches[0]
    uses_pos_label = estimator.objective in OPTIONS["pos_label_objective"]
    if uses_pos_label and estimator.average == "binary" and len(labels) > 2:
        raise ValueError(
            f"y has {len(labels)} classes, so average='binary' needs pos_label; "
            "give it or choose another average"
        )
    return max(len(labels) - 1, 0)
