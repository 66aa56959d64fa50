"""The decision of a classifier that serves a metric: class weights on its
probabilities, chosen on held-out rows (out-of-bag, or the folds of models
fitted on the other rows) to maximise the metric there."""

import numpy as np

# Probabilities closer than this are one value to the two-class decision.
_SAME = 1e-9
# The weights a class may take beside 1 in the multiclass search, both ways.
_GRID = 2.0 ** np.arange(-6, 6.25, 0.25)


def _per_class(kind, beta, tp, fp, fn):
    """The metric of each class from its confusion sums (arrays); 0 where undefined."""
    with np.errstate(divide="ignore", invalid="ignore"):
        if kind == "precision":
            num, den = tp, tp + fp
        elif kind == "recall":
            num, den = tp, tp + fn
        elif kind == "f1":
            num, den = 2 * tp, 2 * tp + fp + fn
        else:
            b2 = beta * beta
            num, den = (1 + b2) * tp, fp + (b2 * fn + (1 + b2) * tp)
        return np.where(den > 0, num / np.where(den > 0, den, 1), 0.0)


def metric_of(task, tp, fp, fn, support):
    """The objective of `task` from confusion sums whose last axis is the class."""
    kind, average = task["objective"], task["average"]
    total = support.sum(axis=-1)
    if kind == "accuracy":
        return np.where(total > 0, tp.sum(axis=-1) / np.where(total > 0, total, 1), 0.0)
    if average == "micro":
        return _per_class(kind, task["beta"], tp.sum(axis=-1), fp.sum(axis=-1), fn.sum(axis=-1))
    values = _per_class(kind, task["beta"], tp, fp, fn)
    if average == "binary":
        return values[..., task["pos_label"]]
    if average == "macro":
        return values.mean(axis=-1)
    weighted = (values * support).sum(axis=-1)
    return np.where(total > 0, weighted / np.where(total > 0, total, 1), 0.0)


def _score(task, y, w, predicted, k):
    """The metric of the predicted classes `predicted` (n) against y, weighted by w."""
    support = np.bincount(y, weights=w, minlength=k)
    tp = np.bincount(y[predicted == y], weights=w[predicted == y], minlength=k)
    fp = np.bincount(predicted, weights=w, minlength=k) - tp
    return float(metric_of(task, tp, fp, support - tp, support))


def _binary(task, proba, y, w):
    """Weights (1, w1) that predict class 1 above the threshold on its probability
    that serves the metric best on these rows (the highest threshold among equals)."""
    p1 = proba[:, 1]
    order = np.argsort(-p1, kind="stable")
    p_sorted, y_sorted, w_sorted = p1[order], y[order], w[order]
    # Cuts between distinct probabilities: the rows above a cut predict 1. Means
    # of the same shares summed in another order differ in their last bits; the
    # weights cannot tell such values apart, so no cut falls between them.
    ends = np.flatnonzero(np.r_[p_sorted[:-1] - p_sorted[1:] > _SAME, True]) + 1
    ends = ends[p_sorted[ends - 1] > 0]  # a probability of 0 cannot be weighed up
    cuts = np.r_[0, ends]
    positive = np.r_[0.0, np.cumsum(w_sorted * (y_sorted == 1))][cuts]
    negative = np.r_[0.0, np.cumsum(w_sorted * (y_sorted == 0))][cuts]
    all_pos, all_neg = np.sum(w * (y == 1)), np.sum(w * (y == 0))
    # Confusion sums of both classes at every cut: class 1 predicted above it.
    tp = np.stack([all_neg - negative, positive], axis=-1)
    fp = np.stack([all_pos - positive, negative], axis=-1)
    fn = np.stack([negative, all_pos - positive], axis=-1)
    support = np.broadcast_to([all_neg, all_pos], tp.shape)
    best = int(np.argmax(metric_of(task, tp, fp, fn, support)))
    if best == 0:
        return np.array([1.0, 0.0])
    above = p_sorted[cuts[best] - 1]
    below = p_sorted[cuts[best]] if cuts[best] < len(p_sorted) else 0.0
    threshold = (above + below) / 2
    return np.array([1.0, (1 - threshold) / threshold])


def decision_weights(task, proba, y, w):
    """Per-class weights on the mean probability (predict: the class of largest
    weight × probability) that serve `task`'s metric on the rows given: the
    out-of-bag probabilities `proba`, their classes `y` (indices) and weights `w`."""
    k = proba.shape[1]
    if k == 2:
        return _binary(task, proba, y, w)
    weights = np.ones(k)
    best = _score(task, y, w, np.argmax(proba * weights, axis=1), k)
    # One trial at a time: a forest's out-of-bag rows may be many, and every
    # trial at once would hold the grid's size times the probabilities.
    rows = np.arange(len(y))
    for _ in range(2):
        for c in range(k):
            # The best of the other classes, as argmax would take it (the
            # lowest on ties); class c wins a row when its weighed
            # probability beats that one's, or ties it from a lower index.
            others = proba * weights
            others[:, c] = -np.inf
            other = np.argmax(others, axis=1)
            top = others[rows, other]
            scores = []
            for value in _GRID:
                mine = proba[:, c] * value
                wins = (mine > top) | ((mine == top) & (c < other))
                scores.append(_score(task, y, w, np.where(wins, c, other), k))
            i = int(np.argmax(scores))
            if scores[i] > best:
                best = scores[i]
                weights = weights.copy()
                weights[c] = _GRID[i]
    return weights


def held_out_probabilities(fit_model, targets, weights, n_classes, n_folds):
    """Class probabilities of the rows of non-zero weight, each from a model fitted
    on the other folds (stratified by class, the same folds on every call).

    ``fit_model(train_rows, test_rows)`` fits a model on the training rows and
    returns the class indices of its ``classes_`` and its ``predict_proba`` of
    the test rows.  Returns the rows and their probabilities, or None when a
    class has fewer rows than there are folds (some fold would miss it).
    """
    from sklearn.model_selection import StratifiedKFold

    rows = np.arange(len(targets)) if weights is None else np.flatnonzero(weights > 0)
    # Every class in every fold: each training part then holds every class.
    if np.bincount(targets[rows], minlength=n_classes).min() < n_folds:
        return None
    proba = np.zeros((len(rows), n_classes))
    folds = StratifiedKFold(n_folds, shuffle=True, random_state=0)
    for train, test in folds.split(np.zeros(len(rows)), targets[rows]):
        classes, fold_proba = fit_model(rows[train], rows[test])
        proba[np.ix_(test, np.asarray(classes, dtype=np.intp))] = fold_proba
    return rows, proba


def refitter(make_model, X, y, sample_weight, classes):
    """A ``fit_model`` for :func:`held_out_probabilities`: a model of
    ``make_model()`` fitted on the training rows of X and y (with their
    ``sample_weight``, checked), predicting the test rows; its classes as
    indices into ``classes``."""
    from ._weights import check_sample_weight

    sample_weight = check_sample_weight(sample_weight, len(y))

    def fit_model(train, test):
        model = make_model().fit(
            X[train], y[train], None if sample_weight is None else sample_weight[train])
        return np.searchsorted(classes, model.classes_), model.predict_proba(X[test])
    return fit_model


def chosen_decision(task, candidates, targets, weights, n_folds):
    """The kind of model, and its decision weights, whose held-out predictions serve
    `task`'s metric best: ``candidates`` maps each kind to its ``fit_model`` (see
    :func:`held_out_probabilities`), in the order ties are broken by.  None when
    the rows are too few for the folds."""
    k = task["n_classes"]
    w = np.ones(len(targets)) if weights is None else np.asarray(weights, dtype=np.float64)
    best = None
    for kind, fit_model in candidates.items():
        held_out = held_out_probabilities(fit_model, targets, weights, k, n_folds)
        if held_out is None:
            return None
        rows, proba = held_out
        chosen = decision_weights(task, proba, targets[rows], w[rows])
        score = _score(task, targets[rows], w[rows], np.argmax(proba * chosen, axis=1), k)
        if best is None or score > best[0]:
            best = (score, kind, chosen)
    return best[1], best[2]
