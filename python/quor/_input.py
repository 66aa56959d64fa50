"""Input handling shared by every quor estimator: X, y, categorical features.

``fit_input`` checks the training data into local values and returns the
fitted attributes they imply without touching the estimator;
``install`` sets them once the core has fitted.  A fit that fails anywhere
in between therefore leaves the estimator exactly as it was.
``predict_input`` turns X into the float64 matrix the core routes, never one
with fewer columns than the tree was grown on.
"""

import numbers

import numpy as np
import pandas as pd
from sklearn.utils.validation import check_is_fitted

from ._categories import check_codes, encode_table, encoded_by_value, learn_categories
from ._compat import validate_data

__all__ = ["fit_input", "install", "predict_input", "resolve_categorical"]

# Attributes that fit_input may set; a refit that lacks one removes it.
_OPTIONAL = ("feature_names_in_",)


def resolve_categorical(spec, n_features, names):
    """``categorical`` (indices, names or a boolean mask) as a mask over the columns."""
    mask = np.zeros(n_features, dtype=bool)
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
            raise ValueError(f"categorical indices must be in [0, {n_features - 1}], got {bad}")
        mask[[int(item) for item in items]] = True
        return mask
    raise TypeError(
        "categorical must hold only column indices, only feature names "
        f"or only booleans, got {items!r}"
    )


def _as_table(X):
    """X as a DataFrame when it is one, or when it holds anything but numbers; else None.

    An array of dates, durations or complex numbers is refused here: NumPy
    would turn them into numbers that mean something else.
    """
    if isinstance(X, pd.DataFrame):
        return X
    if hasattr(X, "dtype") and X.dtype.kind in "biuf":  # the common case: no copy
        return None
    try:
        array = np.asarray(X)
    except (TypeError, ValueError):
        return None  # let scikit-learn's checks say what is wrong
    kind = array.dtype.kind
    if kind == "c":  # scikit-learn's own words, which its checks look for
        raise ValueError(f"Complex data not supported: X holds {array.dtype} values; "
                         "quor takes real numbers")
    if kind in "mMV":
        raise ValueError(f"X holds {array.dtype} values, which are neither numeric nor "
                         "categorical; convert them to numbers")
    if array.ndim == 2 and kind in "OUS":
        if not isinstance(X, np.ndarray) and kind in "US":
            # NumPy made a list's numbers text when some cells were text; keep each cell's own.
            try:
                array = np.array(X, dtype=object)
            except (TypeError, ValueError):
                pass
        return pd.DataFrame(array.astype(object))
    return None


def _check_targets(y, classify):
    """Refuse a y with several columns, and class labels of different kinds.

    scikit-learn would ravel the one or make text of the other (a label 1
    among strings would come back as "1").
    """
    try:
        shape = getattr(y, "shape", None) or np.shape(y)
    except (TypeError, ValueError):
        return  # ragged: scikit-learn's checks say what is wrong
    if len(shape) == 2 and shape[1] > 1:
        raise ValueError(
            f"y has {shape[1]} columns (shape {tuple(shape)}), but quor's estimators predict "
            "one target: multi-output y is not supported; fit one estimator per column"
        )
    if not classify or (hasattr(y, "dtype") and y.dtype != object):
        return
    try:
        values = np.asarray(y, dtype=object).ravel()
    except (TypeError, ValueError):
        return
    if len({_label_kind(t) for t in set(map(type, values))}) > 1:
        examples = {}
        for value in values:
            examples.setdefault(_label_kind(type(value)), value)
        shown = " and ".join(f"{v!r} ({type(v).__name__})" for v in examples.values())
        raise ValueError(
            f"y mixes class labels of different kinds: {shown}; give labels of one kind "
            "(all strings or all numbers)"
        )


def _label_kind(label_type):
    """Text, number, or the type itself: labels of two kinds do not mix."""
    if issubclass(label_type, (str, bytes)):
        return "text"
    return "number" if issubclass(label_type, (numbers.Number, np.bool_)) else label_type


def _names(table):
    """The feature names scikit-learn takes from a frame: all its labels, if all are str."""
    labels = list(table.columns)
    return labels if labels and all(isinstance(label, str) for label in labels) else None


def fit_input(estimator, X, y, *, y_numeric):
    """Checked training data and the fitted attributes it implies.

    Returns ``(X, y, fitted)``: X as a C-contiguous float64 matrix with
    categories encoded, y as scikit-learn's checks leave it, and a dict of
    ``n_features_in_``, ``feature_names_in_`` (when X has names),
    ``is_categorical_`` and ``categories_``.  The estimator is not changed.
    """
    # The checks record what they learn on a fresh estimator with the same settings.
    scratch = type(estimator)(**estimator.get_params(deep=False))
    _check_targets(y, classify=not y_numeric)
    table = _as_table(X)
    categories = None
    if table is not None:
        mask = resolve_categorical(estimator.categorical, table.shape[1], _names(table))
        categories = [None] * table.shape[1]
        category_dtype = np.array(
            [isinstance(dtype, pd.CategoricalDtype) for dtype in table.dtypes], dtype=bool)
        # Only named and category columns can hold values: a wide frame is not
        # walked column by column.
        for j in np.flatnonzero(mask | category_dtype):
            column = table.iloc[:, j]
            if encoded_by_value(column.dtype, mask[j], column):
                mask[j] = True
                categories[j] = learn_categories(column)
        X = encode_table(table, categories, isinstance(X, pd.DataFrame))
    X, y = validate_data(scratch, X, y, reset=True, dtype=np.float64, y_numeric=y_numeric)
    if table is None:
        mask = resolve_categorical(estimator.categorical, X.shape[1], None)
        categories = [None] * X.shape[1]
    labels = table.columns if table is not None else range(X.shape[1])
    check_codes(X, _code_columns(mask, categories), labels)
    fitted = {
        "n_features_in_": scratch.n_features_in_,
        "is_categorical_": mask,
        "categories_": categories,
    }
    for name in _OPTIONAL:
        if hasattr(scratch, name):
            fitted[name] = getattr(scratch, name)
    return np.ascontiguousarray(X, dtype=np.float64), y, fitted


def install(estimator, fitted):
    """Set the fitted attributes, removing optional ones the new fit does not have."""
    for name in _OPTIONAL:
        if name not in fitted and hasattr(estimator, name):
            delattr(estimator, name)
    for name, value in fitted.items():
        setattr(estimator, name, value)


def predict_input(estimator, X, check_finite=True):
    """X checked against the fitted estimator, as the float64 matrix the core routes.

    ``check_finite=False`` leaves the search for infinite values to the caller.
    """
    check_is_fitted(estimator)
    categories = estimator.categories_
    table = _as_table(X)
    if table is None and any(c is not None for c in categories) and np.ndim(X) == 2:
        table = pd.DataFrame(np.asarray(X, dtype=object))
    names = getattr(estimator, "feature_names_in_", None)
    # Encode by position only when the columns are the fitted ones; otherwise
    # scikit-learn's check below says how they differ.
    if table is not None and (
        names is None or not isinstance(X, pd.DataFrame) or list(table.columns) == list(names)
    ):
        X = encode_table(table, categories, isinstance(X, pd.DataFrame))
    X = validate_data(estimator, X, reset=False, dtype=np.float64, check_finite=check_finite)
    n_features = len(estimator.is_categorical_)
    if X.shape[1] < n_features:  # the core must never see a row shorter than its tree's features
        raise ValueError(
            f"X has {X.shape[1]} features, but {type(estimator).__name__} was fitted "
            f"with {n_features} features"
        )
    labels = names if names is not None else range(n_features)
    check_codes(X, _code_columns(estimator.is_categorical_, categories), labels)
    return X


def _code_columns(mask, categories):
    """The categorical columns that hold codes rather than values encoded here."""
    return [j for j in np.flatnonzero(mask) if categories[j] is None]
