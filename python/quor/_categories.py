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

import numbers

import numpy as np
import pandas as pd

__all__ = ["encode_table", "holds_values", "learn_categories"]


def holds_values(column):
    """True for a column whose values are themselves categories: a ``category``
    column, or text (a string column, or objects with at least one str among
    numbers and strs)."""
    if isinstance(column.dtype, pd.CategoricalDtype) or pd.api.types.is_string_dtype(column):
        if column.dtype != object:
            return True
    else:
        return False
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


def numeric_column(column, name):
    """A column of numbers as float64; a ``ValueError`` naming a column of anything else."""
    try:
        return column.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        pass
    values = np.asarray(column, dtype=object)
    for row, value in enumerate(values):
        try:
            float(value)
        except (TypeError, ValueError) as err:
            # The same kind of error as Python's float() gives, with its reason.
            raise type(err)(
                f"column {name!r} is neither numeric nor categorical (row {row}: {value!r}: "
                f"{err}); name it in categorical to use its values as categories, or convert "
                "it to numbers"
            ) from None
    return values.astype(np.float64)


def encode_table(table, categories, as_frame):
    """A frame's columns as one float64 matrix: by-value columns encoded, the others as numbers.

    ``categories[j]`` is the category list of column j, or None for a numeric
    column; columns past the end of ``categories`` are numeric.  Returns a
    DataFrame with the same column labels when ``as_frame`` (so that
    scikit-learn can check feature names), else an ndarray.
    """
    if as_frame and all(c is None for c in categories) and not any(
        holds_values(table.iloc[:, j]) for j in range(table.shape[1])
    ):
        return table  # numbers only: scikit-learn's checks convert it
    columns = []
    for j, name in enumerate(table.columns):
        column = table.iloc[:, j]
        known = categories[j] if j < len(categories) else None
        columns.append(encode_column(column, known) if known is not None
                       else numeric_column(column, name))
    matrix = np.column_stack(columns) if columns else np.empty((len(table), 0))
    return pd.DataFrame(matrix, columns=table.columns, index=table.index) if as_frame else matrix
