"""Columns of categories: learning them at fit, turning values into codes.

The core sees a categorical feature as non-negative float codes (NaN is
missing).  A column that holds categories as values (a pandas ``category``
column, or an ``object``/string column named as categorical) is encoded here
by value: the categories seen at fit are sorted (when they can be) and a
value's code is its position in that list.  pandas' own integer codes are
never used, since they depend on the order of a frame's category list.  A
value never seen at fit gets the code ``len(categories)``, which no split
tests, so it goes wherever a category other than the tested one goes; a
missing value (None, NaN, pandas' NA) is NaN, the core's missing value.
"""

import decimal
import numbers

import numpy as np
import pandas as pd

from ._quor import LIMITS

__all__ = ["check_codes", "encode_table", "encoded_by_value", "learn_categories"]


def encoded_by_value(dtype, named, column=None):
    """Whether a column's values are themselves its categories (encoded by value).

    A pandas ``category`` column always is; a column named in ``categorical``
    is when it holds text: a string dtype, or objects with at least one str
    among numbers and strs.  Without the values at hand (``column`` None, as
    for a Dask frame, known by its dtype only) a named object column is
    taken to hold text.
    """
    if isinstance(dtype, pd.CategoricalDtype):
        return True
    if not named or not (dtype == object or pd.api.types.is_string_dtype(dtype)):
        return False
    if dtype != object or column is None:
        return True
    present = [value for value in column if not _missing(value)]
    return any(isinstance(v, str) for v in present) and all(
        isinstance(v, (str, numbers.Number)) for v in present
    )


def _missing(value):
    try:
        return bool(pd.isna(value))
    except (TypeError, ValueError):  # containers are not missing values
        return False


def learn_categories(column):
    """The categories of a column as an object array, sorted when they can be.

    A ``category`` column contributes every category its dtype lists; any
    other column the distinct non-missing values it holds.
    """
    if isinstance(column.dtype, pd.CategoricalDtype):
        values = list(column.cat.categories)
    else:
        values = list(pd.unique(column[column.notna()]))
    try:
        values = sorted(values)
    except TypeError:  # values of types that do not compare: keep their order
        pass
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def encode_column(column, categories):
    """Codes of a column's values (float64): position in ``categories``, NaN if missing."""
    values = np.asarray(column, dtype=object)
    codes = pd.Index(categories, dtype=object).get_indexer(values).astype(np.float64)
    codes[codes < 0] = len(categories)
    codes[pd.isna(values)] = np.nan
    return codes


# The missing values an object column of numbers may hold beside its numbers.
_MISSING_TYPES = (type(None), type(pd.NA), type(pd.NaT))


def _is_number_type(kind):
    # np.timedelta64 is a NumPy integer, but a duration is not a number to split on.
    return (issubclass(kind, (numbers.Real, decimal.Decimal, np.bool_))
            and not issubclass(kind, np.timedelta64))


def _numeric_dtype(dtype):
    """True for NumPy's booleans, integers and floats and pandas' nullable or sparse ones."""
    if isinstance(dtype, np.dtype):
        return dtype.kind in "biuf"
    return (pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_complex_dtype(dtype)
            and not isinstance(dtype, pd.CategoricalDtype))


class NotNumericError(ValueError, TypeError):
    """A column that is neither numeric nor categorical: a ``ValueError`` as the
    package documents, and a ``TypeError`` as Python's ``float()`` (and
    scikit-learn) call a value of the wrong type."""


def _refuse_column(name, what, text):
    advice = ("name it in categorical to use its values as categories, or convert it to numbers"
              if text else "convert it to numbers (or to a pandas 'category' column to use its "
              "values as categories)")
    raise NotNumericError(f"column {name!r} is neither numeric nor categorical: it holds {what}; "
                          f"{advice}")


def numeric_column(column, name):
    """A column of numbers as float64; a ``ValueError`` naming a column of anything else.

    Numbers are booleans, integers and floats (NumPy's, or pandas' nullable
    ones with ``pd.NA`` missing), or objects that are all real numbers or
    missing.  Text, dates, durations, periods, intervals and complex numbers
    are refused rather than turned into numbers that mean something else.
    """
    dtype = column.dtype
    if _numeric_dtype(dtype):
        try:
            return column.to_numpy(dtype=np.float64, na_value=np.nan)
        except (TypeError, ValueError):  # an extension type that is not really numbers
            _refuse_column(name, f"{dtype} values", text=False)
    if dtype != object and not isinstance(dtype, pd.CategoricalDtype):
        text = pd.api.types.is_string_dtype(dtype)
        _refuse_column(name, f"text ({dtype} dtype)" if text else f"{dtype} values", text)
    values = np.asarray(column, dtype=object)
    others = [kind for kind in set(map(type, values))
              if not (_is_number_type(kind) or issubclass(kind, _MISSING_TYPES))]
    if others:
        row = next(r for r, value in enumerate(values) if type(value) in others)
        value = values[row]
        text = isinstance(value, (str, bytes))
        if text:
            _refuse_column(name, f"text ({value!r} in row {row})", text)
        try:
            float(value)
            reason = ""
        except (TypeError, ValueError, OverflowError) as err:
            reason = f": {err}"
        _refuse_column(name, f"{type(value).__name__} values ({value!r} in row {row}{reason})",
                       text)
    out = np.full(len(values), np.nan)
    present = ~pd.isna(values)
    try:
        out[present] = values[present].astype(np.float64)
    except OverflowError:  # a Python int beyond the range of a float
        _refuse_column(name, "numbers too large for a float", text=False)
    return out


# Codes of a numeric categorical column go to the core as they are; it keeps
# 2**32 - 1 for a missing code and would round a fraction to the nearest code.
CODE_LIMIT = LIMITS["max_category_code"] + 1


def check_codes(X, columns, labels):
    """Refuse a value that is not a category code in the numeric categorical ``columns`` of X.

    A code is an integer in [0, CODE_LIMIT); negative values, NaN and
    infinities are left alone (missing, or refused by the finiteness check).
    """
    for j in columns:
        values = X[:, j]
        # Comparisons with NaN are False (and silent), so NaN is never bad.
        bad = (values >= 0) & (values < np.inf) & (
            (values != np.floor(values)) | (values >= CODE_LIMIT))
        if bad.any():
            row, label = int(np.argmax(bad)), labels[j]
            label = label.item() if isinstance(label, np.generic) else label
            raise ValueError(
                f"categorical column {label!r} holds {float(values[row])!r} in row {row}, "
                "which is not a category code: a numeric column named in categorical holds "
                f"integer codes from 0 to {CODE_LIMIT - 1} (negative values and NaN are "
                "missing); round it, or make it a pandas 'category' column to use its values "
                "as categories"
            )


def encode_table(table, categories, as_frame):
    """A frame's columns as one float64 matrix: by-value columns encoded, the others as numbers.

    ``categories[j]`` is the category list of column j, or None for a numeric
    column; columns past the end of ``categories`` are numeric.  Returns a
    DataFrame with the same column labels when ``as_frame`` (so that
    scikit-learn can check feature names), else an ndarray.
    """
    plain = np.array([isinstance(dtype, np.dtype) and dtype.kind in "biuf"
                      for dtype in table.dtypes], dtype=bool)
    encoded = np.zeros(table.shape[1], dtype=bool)
    encoded[[j for j, c in enumerate(categories[:table.shape[1]]) if c is not None]] = True
    if as_frame and plain.all() and not encoded.any():
        return table  # plain numbers only: scikit-learn's checks convert it
    matrix = np.empty(table.shape, dtype=np.float64)
    # Plain numeric columns in one conversion, the others one by one: a wide
    # frame with a few categorical columns is not walked column by column.
    block = np.flatnonzero(plain & ~encoded)
    if len(block):
        matrix[:, block] = table.iloc[:, block].to_numpy(dtype=np.float64)
    for j in np.flatnonzero(~(plain & ~encoded)):
        column = table.iloc[:, j]
        matrix[:, j] = (encode_column(column, categories[j]) if encoded[j]
                        else numeric_column(column, table.columns[j]))
    return pd.DataFrame(matrix, columns=table.columns, index=table.index) if as_frame else matrix
