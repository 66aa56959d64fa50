"""What a sample's weight is, written once for every estimator.

A row's weight is ``sample_weight[i] * class_weight[y_i]`` (either defaulting
to 1).  The core sums weights wherever a split's score or a leaf's value sums
over samples, and drops rows of weight 0 before anything else: a zero weight
is the same as leaving the row out.  What stays a count of rows (folds, bins,
``min_samples_split``, ``min_samples_leaf``, ``max_samples``) is resolved on
the rows that remain, which :func:`row_weights` reports.

The checks here speak the user's terms (``sample_weight``, ``class_weight``);
the core checks the combined weights again itself.
"""

import numbers

import numpy as np

__all__ = ["check_class_weight", "check_sample_weight", "class_weights", "row_weights"]

BALANCED = "balanced"
BALANCED_SUBSAMPLE = "balanced_subsample"


def check_sample_weight(sample_weight, n_samples):
    """``sample_weight`` as a new float64 array of ``n_samples`` finite, non-negative
    values (the caller's array is never changed), or None."""
    if sample_weight is None:
        return None
    if hasattr(sample_weight, "dtype") and getattr(sample_weight.dtype, "kind", "f") in "cmMV":
        raise ValueError(f"sample_weight holds {sample_weight.dtype} values; it must hold "
                         "real numbers")
    try:
        weights = np.array(sample_weight, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError("sample_weight must hold numbers, one per row of X") from None
    if weights.ndim != 1:
        raise ValueError(f"sample_weight must be 1-D, one number per row of X; got shape "
                         f"{weights.shape}")
    if len(weights) != n_samples:
        raise ValueError(f"sample_weight has {len(weights)} values, but X has {n_samples} "
                         "rows")
    _refuse_bad_values(weights, "sample_weight")
    return weights


def _refuse_bad_values(weights, what):
    nan = np.isnan(weights)
    if nan.any():
        raise ValueError(f"{what} contains NaN (at row {int(np.argmax(nan))})")
    infinite = np.isinf(weights)
    if infinite.any():
        raise ValueError(f"{what} contains an infinite value (at row {int(np.argmax(infinite))})")
    negative = weights < 0
    if negative.any():
        row = int(np.argmax(negative))
        raise ValueError(f"{what} contains a negative value ({weights[row]!r} at row {row}); "
                         "weights must be 0 or more")


def check_class_weight(class_weight, classes, subsample_allowed=False):
    """Refuse a ``class_weight`` that cannot be applied to ``classes``.

    A dict must name only classes of y, each with a finite weight of 0 or
    more; classes it does not name weigh 1.
    """
    if class_weight is None:
        return
    if isinstance(class_weight, str):
        allowed = (BALANCED, BALANCED_SUBSAMPLE) if subsample_allowed else (BALANCED,)
        if class_weight not in allowed:
            raise ValueError(f"class_weight={class_weight!r} is not one of "
                             f"{', '.join(map(repr, allowed))}, a dict or None")
        return
    if not isinstance(class_weight, dict):
        raise ValueError(f"class_weight must be None, 'balanced' or a dict mapping class "
                         f"labels to weights, got {type(class_weight).__name__}")
    labels = classes.tolist()
    for label, weight in class_weight.items():
        if _position(labels, label) is None:
            raise ValueError(f"class_weight names the class {label!r}, which is not a class "
                             f"of y (the classes are {labels})")
        if (isinstance(weight, (bool, np.bool_)) or not isinstance(weight, numbers.Real)
                or not np.isfinite(float(weight)) or weight < 0):
            raise ValueError(f"class_weight of class {label!r} is {weight!r}; a class weight "
                             "must be a finite number of 0 or more")


def _position(labels, label):
    """Index of ``label`` among the sorted labels (a label of another kind matches none)."""
    for i, known in enumerate(labels):
        try:
            if _kind(known) == _kind(label) and known == label:
                return i
        except (TypeError, ValueError):
            continue
    return None


def _kind(value):
    """Text, number or the type itself: a label of one kind never names one of another."""
    if isinstance(value, (str, bytes)):
        return "text"
    return "number" if isinstance(value, (numbers.Number, np.bool_)) else type(value)


def class_weights(class_weight, classes, targets, sample_weight):
    """The weight of every class (float64, one per class of ``classes``) or None.

    ``targets`` are the class indices of the rows.  ``"balanced"`` gives
    class c the weight ``n / (k * n_c)``, where, over the rows whose
    ``sample_weight`` is not 0, n is their number, n_c the number of
    them in class c and k the number of classes among them: rows left out
    by a zero weight count as removed rows.  ``"balanced_subsample"`` is
    applied per tree by the core and gives no class weights here.
    """
    if class_weight is None or class_weight == BALANCED_SUBSAMPLE:
        return None
    n_classes = len(classes)
    if class_weight == BALANCED:
        kept = targets if sample_weight is None else targets[sample_weight > 0]
        return balanced(np.bincount(kept, minlength=n_classes))
    out = np.ones(n_classes)
    labels = classes.tolist()
    for label, weight in class_weight.items():
        out[_position(labels, label)] = float(weight)
    return out


def balanced(counts):
    """The "balanced" weight of every class from its number of rows of non-zero sample
    weight: ``n / (k * n_c)`` (k classes among those rows; 1 for a class with none)."""
    counts = np.asarray(counts, dtype=np.float64)
    present = counts > 0
    out = np.ones(len(counts))
    out[present] = counts.sum() / (np.count_nonzero(present) * counts[present])
    return out


def bad_values(weights, what):
    """The message of the first NaN, infinite or negative weight, or None."""
    try:
        _refuse_bad_values(weights, what)
    except ValueError as err:
        return str(err)
    return None


def row_weights(sample_weight, per_class=None, targets=None):
    """The weight of every row (``sample_weight[i] * per_class[targets[i]]``) and the
    number of rows of non-zero weight, or ``(None, None)`` without weights.

    Raises ValueError when every row weighs 0, or when a product overflows.
    """
    if sample_weight is None and per_class is None:
        return None, None
    if per_class is None:
        weights = sample_weight
    else:
        weights = per_class[targets]
        if sample_weight is not None:
            with np.errstate(over="ignore"):
                weights = sample_weight * weights
            if not np.isfinite(weights).all():
                raise ValueError("sample_weight times class_weight is infinite for some rows; "
                                 "use smaller weights")
    n_kept = int(np.count_nonzero(weights))
    if n_kept == 0:
        what = "sample_weight" if per_class is None else "sample_weight times class_weight"
        raise ValueError(f"every row has weight 0 ({what}); at least one weight must be "
                         "positive")
    return np.ascontiguousarray(weights, dtype=np.float64), n_kept
