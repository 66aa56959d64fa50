"""Forests of cross-validated trees: QUORForestClassifier and QUORForestRegressor."""

import sys
import time
import warnings

import numpy as np
from sklearn.base import ClassifierMixin, RegressorMixin
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_is_fitted

from . import _params
from ._estimators import (
    DECISION_IS_NOT_ARGMAX, INPUT_ATTRIBUTES_DOC,
    NativeModel, QUORClassifier, QUORRegressor, check_criterion_or_objective, fit_weights,
    mean_importances, native_importances, objective_task, prepare_targets,
    rows_doc, split_score_importances_per_tree, splits_by_criterion, weight_arguments, weight_doc,
)
from ._decision import chosen_decision, decision_weights, refitter
from ._input import fit_input, install, predict_input
from ._out_of_bag import out_of_bag_importances
from ._quor import RawForest

__all__ = ["QUORForestClassifier", "QUORForestRegressor"]

_INTRO = """
    Each tree is a quor tree: at every node the node's own samples are
    divided into ``cv_folds`` folds and a candidate split is judged by its
    scores on the folds.  Each tree is grown on ``max_samples`` rows drawn
    without replacement (so no row is trained on and held out at once by a
    node's folds) and every node evaluates ``max_features`` features drawn
    for it alone; the forest predicts the mean of its trees.  Trees grow on
    ``n_jobs`` native threads without holding Python's interpreter lock,
    and the forest does not depend on ``n_jobs``.  Ctrl-C stops ``fit``
    within a fraction of a second and leaves the estimator as it was.
    Missing values (NaN) are allowed in X and go where ``missing`` says;
    pandas ``category`` columns and the columns named in ``categorical`` are
    categorical.
"""

_FITTED_DOC = INPUT_ATTRIBUTES_DOC + """    categories_ : list of (ndarray or None), length n_features
        The categories of each feature whose values are categories, None for
        numeric features (as in the single trees).
    feature_importances_ : ndarray of float64, shape (n_features,)
        Each tree's splits measured on the rows the tree did not draw: a
        split's contribution is the weighted squared error (Brier score for
        classes) of those rows against its node's prediction less theirs
        against its children's, over the tree's out-of-bag weight; summed
        per feature, averaged over the trees, clipped at 0, normalised.  A
        forest whose trees drew every row reports
        ``held_out_importances_``.
    held_out_importances_ : ndarray of float64, shape (n_features,)
        The mean of the trees' ``feature_importances_`` (each split scored
        on the folds of its node that did not choose it; each tree's sum to
        1, trees without any are left out), computed when first read.
    split_score_importances_ : ndarray of float64, shape (n_features,)
        The mean of the trees' importances from the scores their splits won
        with (the earlier measure).
    estimators_ : list of QUORClassifier or QUORRegressor
        The fitted trees as single-tree estimators (made when first read).
    n_estimators_ : int
        Number of fitted trees.
"""


def _tree_seeds(random_state, n_estimators):
    """One 64-bit seed per tree from ``random_state``."""
    rng = check_random_state(random_state)
    return rng.randint(0, np.iinfo(np.int64).max, size=n_estimators, dtype=np.int64).tolist()


class _Progress:
    """The callback the core calls with the number of finished trees."""

    def __init__(self, verbose, total, name):
        self.total, self.bar, self.shown, self.last = total, None, 0, 0.0
        self.enabled = bool(verbose)
        if not self.enabled:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            self.name = name
            return
        self.bar = tqdm(total=total, desc=name, unit="tree", file=sys.stderr)

    def __call__(self, done):
        if not self.enabled or done == self.shown:
            return
        if self.bar is not None:
            self.bar.update(done - self.shown)
        elif done == self.total or time.monotonic() - self.last >= 1.0:
            print(f"{self.name}: {done} of {self.total} trees", file=sys.stderr, flush=True)
            self.last = time.monotonic()
        self.shown = done

    def close(self):
        if self.bar is not None:
            self.bar.close()


class _QUORForest(NativeModel):
    """What the forest regressor and classifier share."""

    def _fit(self, X, y, sample_weight):
        _params.check_params(self)
        X, y, fitted = fit_input(self, X, y, y_numeric=self._y_numeric)
        n_samples, n_features = X.shape
        kind, task_settings, targets, task_fitted = prepare_targets(self, y)
        weights, n_kept = fit_weights(self, sample_weight, targets, task_fitted.get("classes_"))
        subsample = getattr(self, "class_weight", None) == "balanced_subsample"
        if subsample and weights is None:
            weights = np.ones(n_samples)
        # Rows of weight 0 are left out before anything else: counts of rows
        # given as fractions are taken of the rows that remain.
        n_rows = n_samples if n_kept is None else n_kept
        settings = _params.core_settings(
            self, task_settings, np.flatnonzero(fitted["is_categorical_"]).tolist(), n_rows,
            n_features)
        if self.oob_score and settings["max_samples"] >= n_rows:
            which = "" if n_rows == n_samples else " of non-zero weight"
            raise ValueError(
                f"oob_score=True needs rows that some trees do not see, but max_samples="
                f"{self.max_samples!r} gives every tree all {n_rows} rows{which}; use a "
                "smaller max_samples"
            )
        by_folds = self._serves_metric() and self.decision_folds is not None
        if splits_by_criterion(self) and not by_folds and settings["max_samples"] >= n_rows:
            raise ValueError(
                f"objective_splits='criterion' chooses the decision for the objective on the "
                f"out-of-bag rows, but max_samples={self.max_samples!r} gives every tree all "
                f"{n_rows} rows; use a smaller max_samples, or objective_splits='objective'"
            )
        # Trees with rows they were not grown on are measured on those rows
        # (importances); a forest that serves a metric decides on them when
        # it has no decision_folds.
        out_of_bag = settings["max_samples"] < n_rows
        decide = self._serves_metric() and out_of_bag and not by_folds
        forest = RawForest(kind, settings)
        progress = _Progress(self.verbose, self.n_estimators, type(self).__name__)
        try:
            forest.fit(X, targets, _tree_seeds(self.random_state, self.n_estimators),
                       self._n_jobs(), bool(self.oob_score) or decide, progress,
                       **weight_arguments(weights, subsample), oob_importances=out_of_bag)
        finally:
            progress.close()
        per_tree = forest.take_oob_contributions() if out_of_bag else None
        fitted["n_estimators_"] = forest.n_trees()
        fitted.update(task_fitted)
        if self._serves_metric():
            fitted["decision_weights_"] = None
        if by_folds:
            fitted["decision_weights_"] = self._decision_on_folds(
                X, y, sample_weight, targets, weights, fitted)
        if decide:
            oob = forest.oob_prediction()
            seen = ~np.isnan(oob[:, 0])
            if weights is not None:
                seen &= weights > 0
            if seen.any():
                w = np.ones(n_samples) if weights is None else np.asarray(weights, dtype=np.float64)
                fitted["decision_weights_"] = decision_weights(
                    objective_task(self, fitted["classes_"]), oob[seen], targets[seen], w[seen])
        if self.oob_score:
            # Rows of weight 0 are rows left out: no tree predicts them, and
            # the out-of-bag score (unweighted) is over the others.
            kept = None if weights is None else weights > 0
            fitted.update(self._oob_attributes(forest.oob_prediction(), y, fitted, kept))
        for name in ("oob_score_", "oob_decision_function_", "oob_prediction_", "decision_weights_"):
            if name not in fitted and hasattr(self, name):
                delattr(self, name)
        install(self, fitted)
        self._install_native(forest, kind, settings)
        self._out_of_bag_importances = (None if per_tree is None
                                        else out_of_bag_importances(per_tree, n_features))
        return self

    def _clear_views(self):
        self._estimators = self._feature_importances = None

    @staticmethod
    def _views():
        return ("_estimators",)

    def __setstate__(self, state):
        # The trees' importances travel with the pickle: those a model file
        # stored (written by an earlier rule) are not computed again.
        importances = dict(state).get("_feature_importances")
        super().__setstate__(state)
        self._feature_importances = importances

    @property
    def feature_importances_(self):
        """Each tree's splits measured on the rows the tree was not grown on
        (out-of-bag importances); for trees grown on every row, the mean of
        the trees' ``held_out_importances_``."""
        check_is_fitted(self)
        if getattr(self, "_out_of_bag_importances", None) is not None:
            return self._out_of_bag_importances
        return self.held_out_importances_

    @property
    def held_out_importances_(self):
        """The mean of the trees' importances measured on the folds that did not
        choose each split (computed when first read)."""
        check_is_fitted(self)
        if self._feature_importances is None:
            self._feature_importances = mean_importances(
                native_importances(self._forest, self.n_features_in_), self.n_features_in_)
        return self._feature_importances

    @property
    def split_score_importances_(self):
        """The mean of the trees' ``split_score_importances_`` (the importances
        from the scores the splits won with), trees that are a single leaf left
        out."""
        check_is_fitted(self)
        return mean_importances(split_score_importances_per_tree(
            self._forest.export_arrays(), self.n_features_in_), self.n_features_in_)

    def _n_jobs(self):
        return _params.resolve_threads(1 if self.n_jobs is None else self.n_jobs)

    def _decision_on_folds(self, X, y, sample_weight, targets, weights, fitted):
        """Decision weights chosen on the predictions of forests grown, with the
        same settings, on the other folds (None when the rows are too few)."""
        classes = fitted["classes_"]
        params = dict(self.get_params(), categorical=np.flatnonzero(fitted["is_categorical_"]).tolist(),
                      decision_folds=None, oob_score=False, verbose=0)
        if splits_by_criterion(self):
            params["objective"] = None  # the trees of such a forest, without its decision
        fit_model = refitter(lambda: type(self)(**params), X, y, sample_weight, classes)
        chosen = chosen_decision(objective_task(self, classes), {"folds": fit_model}, targets,
                                 weights, self.decision_folds)
        return None if chosen is None else chosen[1]

    def _serves_metric(self):
        """Whether the forest's decision serves an objective's metric: trees grown
        by the criterion, or whose leaves are labelled by the metric."""
        return (getattr(self, "objective", None) is not None
                and (splits_by_criterion(self)
                     or getattr(self, "objective_labels", "majority") == "metric"))

    def _oob_rows(self, oob, what, kept):
        seen = ~np.isnan(oob if oob.ndim == 1 else oob[:, 0])
        missed, rows = ~seen, f"{len(seen)} rows"
        if kept is not None:  # rows of weight 0 are left out, not seen by every tree
            missed, rows = missed & kept, f"{np.count_nonzero(kept)} rows of non-zero weight"
        if missed.any():
            warnings.warn(
                f"{np.count_nonzero(missed)} of the {rows} were seen by every tree and "
                f"have no out-of-bag prediction (NaN in {what}); oob_score_ leaves them out. "
                "Use more trees or a smaller max_samples.",
                UserWarning, stacklevel=4)
        return seen

    def _predict_matrix(self, X):
        return predict_input(self, X)

    # -- the fitted forest -------------------------------------------------------

    def apply(self, X):
        """The leaf each row of X reaches in each tree (node index in the tree's pre-order).

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
            Rows to route, with the columns seen at fit; NaN marks a
            missing value.

        Returns
        -------
        ndarray of int64, shape (n_samples, n_estimators)
            Column t holds the leaves of tree t (``estimators_[t]``).
        """
        X = self._predict_matrix(X)
        return self._forest.apply(X, self._n_jobs())

    @property
    def estimators_(self):
        """The fitted trees as single-tree estimators (built when first read)."""
        check_is_fitted(self)
        if self._estimators is None:
            self._estimators = [self._tree_estimator(t) for t in range(self._forest.n_trees())]
        return self._estimators

    def _tree_estimator(self, index):
        """Tree ``index`` as a fitted QUORClassifier / QUORRegressor."""
        single = self._single_class()
        # The class weights are in the weights the tree was grown with, as
        # scikit-learn's forests leave them out of their trees' parameters.
        params = {name: value for name, value in self.get_params(deep=False).items()
                  if name in single.__init__.__signature__.parameters and name != "class_weight"}
        estimator = single(**params)
        for name in ("n_features_in_", "feature_names_in_", "is_categorical_", "categories_",
                     "classes_", "n_classes_"):
            if hasattr(self, name):
                setattr(estimator, name, getattr(self, name))
        tree = self._forest.tree(index)
        estimator.feature_importances_ = native_importances(tree, self.n_features_in_)[0]
        # The tree's own settings: the forest's, as a single tree takes them
        # (every feature at every node, its rows as it was given them).
        settings = dict(self._forest_settings, max_features=0, max_samples=0,
                        parallel_min_samples=estimator.parallel_min_samples)
        estimator._install_native(tree, self._forest_kind, settings)
        estimator._forest_member = True  # until it is fitted again
        return estimator


def _forest_doc(summary, task, head, attributes):
    return (f"{summary}\n{_INTRO}{head}\n    Parameters\n    ----------\n"
            + _params.docstring(task)
            + "\n    Attributes\n    ----------" + attributes + _FITTED_DOC)


class QUORForestRegressor(RegressorMixin, _QUORForest):
    __doc__ = _forest_doc(
        "A forest of regression trees whose every split is chosen by cross-validation in the node.",
        "forest_regressor", "", """
    oob_score_ : float
        R² of the out-of-bag predictions (``oob_score=True``), over the rows
        that some tree did not see; not weighted by ``sample_weight`` (as
        scikit-learn's is not), and without the rows of weight 0, which no
        tree predicts.
    oob_prediction_ : ndarray of float64, shape (n_samples,)
        Mean prediction of the trees that did not see each training row (NaN
        for a row every tree saw).""",
    ) + """
    Examples
    --------
    >>> from quor import QUORForestRegressor
    >>> X = [[float(i)] for i in range(20)]
    >>> y = [0.0] * 10 + [1.0] * 10
    >>> reg = QUORForestRegressor(n_estimators=10, random_state=0).fit(X, y)
    >>> reg.predict([[2.0], [15.0]]).round(2).tolist()
    [0.0, 1.0]
    >>> len(reg.estimators_)
    10
    """

    _y_numeric = True
    _tree_task = "regressor"
    _parameter_constraints = _params.constraints("forest_regressor")
    __init__ = _params.make_init("forest_regressor")

    @weight_doc
    def fit(self, X, y, sample_weight=None):
        """Grow the forest.

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
            Training features; NaN marks a missing value.
        y : array-like of shape (n_samples,)
            Targets.
        {sample_weight}
            Each tree weighs the rows it draws so.
            The out-of-bag scores (``oob_score=True``) are not weighted, as
            scikit-learn's are not.

        Returns
        -------
        self : QUORForestRegressor
            The fitted estimator.
        """
        return self._fit(X, y, sample_weight)

    def _oob_attributes(self, oob, y, fitted, kept):
        seen = self._oob_rows(oob, "oob_prediction_", kept)
        from sklearn.metrics import r2_score

        return {"oob_prediction_": oob,
                "oob_score_": float(r2_score(y[seen], oob[seen])) if seen.any() else float("nan")}

    @rows_doc
    def predict(self, X):
        """The mean of the trees' predictions for every row of X.

        Parameters
        ----------
        {X}

        Returns
        -------
        ndarray of float64, shape (n_samples,)
            The mean of the values of the leaves each row reaches.
        """
        X = self._predict_matrix(X)
        return self._forest.predict(X, self._n_jobs())

    def _single_class(self):
        return QUORRegressor



class QUORForestClassifier(ClassifierMixin, _QUORForest):
    __doc__ = _forest_doc(
        "A forest of classification trees whose every split is chosen by cross-validation "
        "in the node.",
        "forest_classifier",
        """
    Any labels that scikit-learn accepts can be used; ``classes_`` holds
    them sorted.  ``predict_proba`` is the mean of the trees' leaf
    probabilities and ``predict`` its most probable class.
""",
        """
    classes_ : ndarray of shape (n_classes,)
        The class labels, sorted.
    n_classes_ : int
        Number of classes.
    oob_score_ : float
        Accuracy of the out-of-bag predictions (``oob_score=True``), over the
        rows that some tree did not see; not weighted by ``sample_weight`` or
        ``class_weight`` (as scikit-learn's is not), and without the rows of
        weight 0, which no tree predicts.
    oob_decision_function_ : ndarray of float64, shape (n_samples, n_classes)
        Mean class probabilities of the trees that did not see each training
        row (NaN for a row every tree saw).
    decision_weights_ : ndarray of float64, shape (n_classes,) or None
        Only with an ``objective`` whose decision serves the metric: the
        weights that ``predict`` multiplies ``predict_proba`` by, chosen at
        fit to maximise the metric on held-out predictions (of forests grown
        on the other ``decision_folds``, or out-of-bag); None when there were
        none to choose them on (the trees vote).""",
    ) + """
    Examples
    --------
    >>> from quor import QUORForestClassifier
    >>> X = [[float(i)] for i in range(20)]
    >>> y = ["a"] * 10 + ["b"] * 10
    >>> clf = QUORForestClassifier(n_estimators=10, random_state=0).fit(X, y)
    >>> clf.predict([[2.0], [15.0]]).tolist()
    ['a', 'b']
    >>> clf.predict_proba([[2.0], [15.0]]).round(2).tolist()
    [[1.0, 0.0], [0.0, 1.0]]
    """

    _y_numeric = False
    _tree_task = "classifier"
    _parameter_constraints = _params.constraints("forest_classifier")
    __init__ = _params.make_init("forest_classifier")

    @weight_doc
    def fit(self, X, y, sample_weight=None):
        """Grow the forest.

        Parameters
        ----------
        X : array-like or DataFrame of shape (n_samples, n_features)
            Training features; NaN marks a missing value.
        y : array-like of shape (n_samples,)
            Class labels.
        {sample_weight}
            Each tree weighs the rows it draws so.
            The out-of-bag scores (``oob_score=True``) are not weighted, as
            scikit-learn's are not.

        Returns
        -------
        self : QUORForestClassifier
            The fitted estimator.
        """
        check_criterion_or_objective(self)
        return self._fit(X, y, sample_weight)

    def _oob_attributes(self, oob, y, fitted, kept):
        seen = self._oob_rows(oob, "oob_decision_function_", kept)
        classes = fitted["classes_"]
        predicted = classes.take(np.argmax(np.nan_to_num(oob[seen]), axis=1))
        return {"oob_decision_function_": oob,
                "oob_score_": float(np.mean(predicted == y[seen])) if seen.any() else float("nan")}

    @rows_doc
    def predict(self, X):
        """The class of largest mean probability for every row of X; with an
        ``objective`` (and ``objective_labels="metric"``) the class of largest
        ``decision_weights_ * predict_proba``, or, when the forest has no such
        weights (no held-out rows to choose them on), the class most trees predict.

        Parameters
        ----------
        {X}

        Returns
        -------
        ndarray of shape (n_samples,)
            Labels taken from ``classes_``.
        """
        X = self._predict_matrix(X)
        weights = getattr(self, "decision_weights_", None)
        if weights is not None:
            proba = self._forest.predict_proba(X, self._n_jobs())
            return self.classes_.take(np.argmax(proba * weights, axis=1))
        return self.classes_.take(self._forest.predict(X, self._n_jobs()))

    @rows_doc
    def predict_proba(self, X):
        """The mean of the trees' class probabilities for every row of X.

        Parameters
        ----------
        {X}

        {proba}
        """
        X = self._predict_matrix(X)
        return self._forest.predict_proba(X, self._n_jobs())

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
        if not self._serves_metric():
            return {}
        return {"_xfail_checks": {"check_classifiers_train": DECISION_IS_NOT_ARGMAX}}

    def _single_class(self):
        return QUORClassifier

